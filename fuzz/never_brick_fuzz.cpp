// The installer's promise as a fuzz property: a fuzz-chosen installed tree on the flash volume of
// a scratch device image (with or without a version record) and a fuzz-chosen package on the card
// (made by the writer, made and then damaged, or raw bytes). The update session must either stop
// before its first change to the flash volume (the tree unchanged, byte for byte) or run the
// extraction and the record through, leaving exactly the planned tree: the old tree for a patch
// (nothing for a full update) with every planned entry at its path, of its recorded size and
// CRC-32, and nothing else.
#include <fuzzer/FuzzedDataProvider.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/device_paths.h"
#include "app/update_session.h"
#include "fuzz/fuzz_device.h"
#include "ini/ini_table.h"
#include "ini/ini_write.h"
#include "package/install_plan.h"
#include "package/package.h"
#include "package/package_contents.h"
#include "package/writer.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;

// Levels of the installed tree: one spelling each. The package's levels add other letter cases.
const char* const kTreeLevels[] = {"a", "B", "VORIZ", "index.ini", "c.txt", "d"};
const char* const kPackageLevels[] = {"a",         "A",         "b",     "VORIZ", "Voriz",
                                      "INDEX.INI", "index.ini", "c.txt", "C.TXT", "d"};
const char16_t* const kVersions[] = {u"1.0", u"2.0", u"3.0"};

// A tree as the device sees it: lower-cased relative path ('/' between levels) -> what is there
// ("dir" for a directory, else "file:" and the contents).
using Tree = std::map<std::string, std::string>;

std::string Lower(std::string text) {
    for (char& c : text) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Tree TreeOf(const fs::path& directory) {
    Tree tree;
    for (const auto& item : fs::recursive_directory_iterator(directory)) {
        const std::string name = Lower(item.path().lexically_relative(directory).generic_string());
        tree[name] = item.is_directory() ? "dir" : "file:" + ReadAll(item.path());
    }
    return tree;
}

std::string Record(const char16_t* version, bool patch, const char16_t* oldVersion) {
    IniTable* table = IniTableCreate(0);
    IniTableSetString(table, u"Config", u"SoftwareVersion", version);
    IniTableSetString(table, u"UpdateInfo", u"IsPatch", patch ? u"1" : u"0");
    if (oldVersion != nullptr) {
        IniTableSetString(table, u"UpdateInfo", u"oldVersion", oldVersion);
    }
    const std::vector<unsigned char> bytes = IniTableBytes(table, u"record");
    IniTableFree(table);
    return {bytes.begin(), bytes.end()};
}

std::string Join(FuzzedDataProvider& in, const char* const* levels, size_t count, int most) {
    std::string name;
    const int depth = in.ConsumeIntegralInRange(1, most);
    for (int i = 0; i < depth; ++i) {
        name += (i > 0 ? "\\" : "");
        name += levels[in.ConsumeIntegralInRange<size_t>(0, count - 1)];
    }
    return name;
}

// A few files and directories under the flash volume, and sometimes a version record.
void MakeInstalledTree(FuzzedDataProvider& in, const fs::path& flash) {
    const int count = in.ConsumeIntegralInRange(0, 5);
    for (int i = 0; i < count; ++i) {
        std::string name = Join(in, kTreeLevels, std::size(kTreeLevels), 3);
        for (char& c : name) {
            c = c == '\\' ? '/' : c;
        }
        const fs::path path = flash / name;
        std::error_code ignored;
        fs::create_directories(path.parent_path(), ignored);
        if (in.ConsumeBool()) {
            fs::create_directory(path, ignored);
        } else if (!fs::exists(path, ignored)) {
            std::ofstream(path, std::ios::binary) << in.ConsumeRandomLengthString(16);
        }
    }
    if (in.ConsumeBool()) {
        std::error_code ignored;
        fs::create_directories(flash / "VORIZ", ignored);
        if (!fs::exists(flash / "VORIZ/index.ini", ignored)) {
            std::ofstream(flash / "VORIZ/index.ini", std::ios::binary)
                << Record(kVersions[in.ConsumeIntegralInRange(0, 2)], false, nullptr);
        }
    }
}

// Writes a package of chosen entries (usually with a manifest) to the card; false when the
// writer refuses them.
bool WritePackage(FuzzedDataProvider& in, const fs::path& root) {
    fs::create_directory(root / "stage");
    std::vector<PackItem> items;
    const int count = in.ConsumeIntegralInRange(0, 5);
    for (int i = 0; i < count; ++i) {
        const bool directory = in.ConsumeIntegralInRange(0, 3) == 0;
        PackItem item{Join(in, kPackageLevels, std::size(kPackageLevels), 3), {}};
        if (directory) {
            item.name += '\\';
        } else {
            const std::string source = std::to_string(i);
            std::ofstream(root / "stage" / source, std::ios::binary)
                << in.ConsumeRandomLengthString(32);
            item.source = u"\\stage\\" + std::u16string(source.begin(), source.end());
        }
        items.push_back(item);
    }
    if (in.ConsumeIntegralInRange(0, 7) != 0) {
        const bool patch = in.ConsumeBool();
        const char16_t* oldVersion =
            in.ConsumeBool() ? kVersions[in.ConsumeIntegralInRange(0, 2)] : nullptr;
        std::ofstream(root / "stage/manifest", std::ios::binary)
            << Record(kVersions[in.ConsumeIntegralInRange(0, 2)], patch, oldVersion);
        const size_t at = in.ConsumeIntegralInRange<size_t>(0, items.size());
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(at),
                     PackItem{"VORIZ\\INDEX.INI", u"\\stage\\manifest"});
    }
    PackOptions options;
    options.jobs = 1;
    options.level = 1;
    return PackageWriter(options).Write(items, u"\\SDMMC\\VORIZ.QZP") == 0;
}

// What the plan says the flash volume holds after the update: `start` with each planned entry at
// its path (files by size and CRC-32, as the package records them) and its parents made.
Tree PlannedTree(Tree start, const InstallPlan& plan, PackageArchive* archive,
                 PackageEntry** entries) {
    const std::u16string volume(app::kFlashVolume);
    for (const PlanStep& step : plan.steps) {
        // The image names host files in UTF-8, whatever the characters.
        const std::u16string path = PlannedPath(app::kFlashVolume, entries[step.entry]);
        std::string name = platform::Utf16ToUtf8(
            std::u16string_view(path).substr(std::min(path.size(), volume.size())));
        std::replace(name.begin(), name.end(), '\\', '/');
        // Empty levels are skipped, as extraction does.
        std::string clean;
        size_t from = 0;
        while (from <= name.size()) {
            const size_t to = std::min(name.find('/', from), name.size());
            if (to > from) {
                clean += (clean.empty() ? "" : "/") + Lower(name.substr(from, to - from));
            }
            from = to + 1;
        }
        for (size_t slash = clean.find('/'); slash != std::string::npos;
             slash = clean.find('/', slash + 1)) {
            start[clean.substr(0, slash)] = "dir";
        }
        PackageEntryRecord record;
        if (PackageGetEntryRecord(archive, entries[step.entry], &record) != 1) {
            std::abort();
        }
        start[clean] = record.directory ? "dir"
                                        : "crc:" + std::to_string(record.crc) + "/" +
                                              std::to_string(record.size);
    }
    return start;
}

// A file of the tree as the plan describes it: by size and CRC-32.
std::string Described(const std::string& what) {
    if (what.rfind("file:", 0) != 0) {
        return what;
    }
    const std::string contents = what.substr(5);
    const auto crc = crc32(0L, reinterpret_cast<const Bytef*>(contents.data()),
                           static_cast<uInt>(contents.size()));
    return "crc:" + std::to_string(crc) + "/" + std::to_string(contents.size());
}

void Print(const char* what, const Tree& tree) {
    std::fprintf(stderr, "%s:\n", what);
    for (const auto& [name, held] : tree) {
        std::fprintf(stderr, "  %s %s\n", name.c_str(), held.substr(0, 40).c_str());
    }
}

[[noreturn]] void Fail(const char* why, const app::StepOutcome& outcome, const Tree& before,
                       const Tree& after) {
    std::fprintf(stderr, "%s: step %d ending %d: %s / %s / %s\n", why,
                 static_cast<int>(outcome.step), static_cast<int>(outcome.ending),
                 outcome.detail.c_str(), outcome.reason.c_str(), outcome.systemError.c_str());
    Print("before", before);
    Print("after", after);
    std::abort();
}

bool Matches(const Tree& planned, const Tree& actual) {
    if (planned.size() != actual.size()) {
        return false;
    }
    for (const auto& [name, what] : planned) {
        const auto found = actual.find(name);
        if (found == actual.end() || (found->second != what && Described(found->second) != what)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const fs::path root = fuzz::ScratchRoot();
    for (const char* directory : {"ResidentFlash2", "SDMMC", "VORIZ", "stage"}) {
        fs::remove_all(root / directory);
    }
    fs::create_directory(root / "ResidentFlash2");
    fs::create_directory(root / "SDMMC");
    const fs::path flash = root / "ResidentFlash2";
    MakeInstalledTree(in, flash);

    fuzz::Image image;
    const int source = in.ConsumeIntegralInRange(0, 3);
    if (source == 3) {  // raw bytes
        const std::string bytes = in.ConsumeRemainingBytesAsString();
        std::ofstream(root / "SDMMC/VORIZ.QZP", std::ios::binary) << bytes;
    } else if (!WritePackage(in, root)) {
        return 0;
    } else if (source == 2) {  // damaged after writing: a byte changed at a chosen place
        std::string bytes = ReadAll(root / "SDMMC/VORIZ.QZP");
        const size_t place = in.ConsumeIntegral<uint16_t>() % bytes.size();
        bytes[place] = static_cast<char>(bytes[place] ^ in.ConsumeIntegralInRange(1, 255));
        std::ofstream(root / "SDMMC/VORIZ.QZP", std::ios::binary | std::ios::trunc) << bytes;
    }
    const Tree before = TreeOf(flash);

    // Both plans the session may make, over the tree as it is now.
    PackageArchive* archive = nullptr;
    PackageEntry** entries = nullptr;
    uint32_t count = 0;
    const bool opened = PackageOpen(app::kPackagePath, &archive, &entries, &count, 0) == 1;
    InstallPlan kept;
    InstallPlan emptied;
    if (opened) {
        PlanOptions options;
        options.target = app::kFlashVolume;
        options.manifestRules = true;
        PlanPackage(archive, entries, count, options, kept);
        options.tree = PlanTree::kEmpty;
        PlanPackage(archive, entries, count, options, emptied);
    }

    app::DeviceState device;
    app::UpdateSession session(device, app::SessionPolicy{}, nullptr);
    if (!session.Prepare(app::kPackagePath)) {
        if (TreeOf(flash) != before) {
            Fail("stopped after a change", session.Stopped(), before, TreeOf(flash));
        }
    } else {
        const bool patch = session.Decision().kind == app::UpdateKind::kPatch;
        if (!opened) {
            Fail("installs a package that does not open", session.Stopped(), before, before);
        }
        app::StepOutcome step = session.Extract(nullptr, nullptr);
        if (step.GoesOn()) {
            step = session.RecordWritten();
        }
        if (!step.GoesOn()) {
            Fail("left half updated", step, before, TreeOf(flash));
        }
        const Tree planned = patch ? PlannedTree(before, kept, archive, entries)
                                   : PlannedTree({}, emptied, archive, entries);
        const Tree after = TreeOf(flash);
        if (!Matches(planned, after)) {
            Print("planned", planned);
            Fail("not the planned tree", step, before, after);
        }
    }
    if (opened) {
        PackageClose(archive);
    }
    return 0;
}
