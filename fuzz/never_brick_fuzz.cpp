// The installer's promise as a fuzz property: a fuzz-chosen installed tree on the flash volume of
// a scratch device image (with or without a version record) and a fuzz-chosen package on the card
// (laid out by the tests' builder, so shapes the writer refuses too, and then perhaps damaged, or
// raw bytes). The update session must either stop before its first change to the flash volume (the
// tree unchanged, byte for byte) or run the extraction and the record through, leaving exactly the
// planned tree: the old tree for a patch (nothing for a full update) with every planned entry at
// its path, of its recorded size and CRC-32, and nothing else.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/device_paths.h"
#include "app/update_session.h"
#include "package/install_plan.h"
#include "package/package.h"
#include "package/package_contents.h"
#include "platform/text.h"
#include "tests/package/package_builder.h"
#include "tests/test_image.h"

namespace {

namespace fs = std::filesystem;

// Levels of the installed tree: one spelling each. The package's levels add other letter cases.
const char* const kTreeLevels[] = {"a", "B", "VORIZ", "index.ini", "c.txt", "d"};
const char* const kPackageLevels[] = {"a",         "A",         "b",     "VORIZ", "Voriz",
                                      "INDEX.INI", "index.ini", "c.txt", "C.TXT", "d"};
const char16_t* const kVersions[] = {u"1.0", u"2.0", u"3.0"};

using testimage::Tree;
using testimage::TreeDifference;
using testimage::TreeOf;

const testimage::Scratch kRoot(true);  // the device image

std::string Join(FuzzedDataProvider& in, const char* const* levels, size_t count,
                 const char* separator = "\\") {
    std::string name;
    const int depth = in.ConsumeIntegralInRange(1, 3);
    for (int i = 0; i < depth; ++i) {
        name += (i > 0 ? separator : "");
        name += levels[in.ConsumeIntegralInRange<size_t>(0, count - 1)];
    }
    return name;
}

// A few files and directories under the flash volume, and sometimes a version record.
void MakeInstalledTree(FuzzedDataProvider& in, const fs::path& flash) {
    const int count = in.ConsumeIntegralInRange(0, 5);
    for (int i = 0; i < count; ++i) {
        const fs::path path = flash / Join(in, kTreeLevels, std::size(kTreeLevels), "/");
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
                << pkgtest::IniBytes(pkgtest::Manifest(kVersions[in.ConsumeIntegralInRange(0, 2)]));
        }
    }
}

// A package of chosen entries, usually with a manifest among them.
std::string MakePackage(FuzzedDataProvider& in) {
    pkgtest::Builder builder;
    const int count = in.ConsumeIntegralInRange(0, 5);
    for (int i = 0; i < count; ++i) {
        const std::string name = Join(in, kPackageLevels, std::size(kPackageLevels));
        if (in.ConsumeIntegralInRange(0, 3) == 0) {
            builder.Directory(name + '\\');
        } else {
            builder.File(name, pkgtest::Text(in.ConsumeRandomLengthString(32)));
        }
    }
    if (in.ConsumeIntegralInRange(0, 7) != 0) {
        const bool patch = in.ConsumeBool();
        const char16_t* oldVersion =
            in.ConsumeBool() ? kVersions[in.ConsumeIntegralInRange(0, 2)] : u"";
        const auto manifest =
            pkgtest::Manifest(kVersions[in.ConsumeIntegralInRange(0, 2)], patch, oldVersion);
        builder.File("VORIZ\\INDEX.INI", pkgtest::Text(pkgtest::IniBytes(manifest)));
        const auto at = builder.entries.begin() + in.ConsumeIntegralInRange(0, count);
        std::rotate(at, builder.entries.end() - 1, builder.entries.end());
    }
    const pkgtest::Bytes bytes = builder.Build();
    return {bytes.begin(), bytes.end()};
}

// A file as the plan describes it: by CRC-32 and size.
std::string Described(uint32_t crc, uint64_t size) {
    return "crc:" + std::to_string(crc) + "/" + std::to_string(size);
}

// `tree` with every file described by CRC-32 and size.
Tree Described(Tree tree) {
    for (auto& [name, content] : tree) {
        if (name.back() != '/') {
            content = Described(pkgtest::Crc(pkgtest::Text(content)), content.size());
        }
    }
    return tree;
}

// What the plan says the flash volume holds after the update: `start` with each planned entry at
// its path (files described as the package records them) and its parents made.
Tree PlannedTree(Tree start, const InstallPlan& plan, PackageArchive* archive,
                 PackageEntry** entries) {
    const size_t volume = std::u16string_view(app::kFlashVolume).size();
    for (const PlanStep& step : plan.steps) {
        const std::u16string path = PlannedPath(app::kFlashVolume, entries[step.entry]);
        PackageEntryRecord record;
        if (PackageGetEntryRecord(archive, entries[step.entry], &record) != 1) {
            std::abort();
        }
        // The image names host files in UTF-8, whatever the characters.
        testimage::PutExtracted(start,
                                platform::Utf16ToUtf8(path.substr(std::min(path.size(), volume))),
                                record.directory, Described(record.crc, record.size));
    }
    return start;
}

[[noreturn]] void Fail(const char* why, const app::StepOutcome& outcome,
                       const std::string& difference) {
    std::fprintf(stderr, "%s: step %d ending %d: %s / %s / %s\n%s", why,
                 static_cast<int>(outcome.step), static_cast<int>(outcome.ending),
                 outcome.detail.c_str(), outcome.reason.c_str(), outcome.systemError.c_str(),
                 difference.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const fs::path& root = kRoot.Path();
    for (const char* directory : {"ResidentFlash2", "SDMMC", "VORIZ"}) {
        fs::remove_all(root / directory);
    }
    fs::create_directory(root / "ResidentFlash2");  // the card's folder comes with the package
    const fs::path flash = root / "ResidentFlash2";
    MakeInstalledTree(in, flash);

    const int source = in.ConsumeIntegralInRange(0, 3);
    std::string package = source == 3 ? in.ConsumeRemainingBytesAsString() : MakePackage(in);
    if (source == 2) {  // damaged: a byte changed at a chosen place
        const size_t place = in.ConsumeIntegral<uint16_t>() % package.size();
        package[place] = static_cast<char>(package[place] ^ in.ConsumeIntegralInRange(1, 255));
    }
    testimage::WriteAll(root / "SDMMC/VORIZ.QZP", package);
    const testimage::Bound image(root);
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
        const std::string changes = TreeDifference(before, TreeOf(flash));
        if (!changes.empty()) {
            Fail("stopped after a change", session.Stopped(), changes);
        }
    } else {
        const bool patch = session.Decision().kind == app::UpdateKind::kPatch;
        if (!opened) {
            Fail("installs a package that does not open", session.Stopped(), "");
        }
        app::StepOutcome step = session.Extract(nullptr, nullptr);
        if (step.GoesOn()) {
            step = session.RecordWritten();
        }
        if (!step.GoesOn()) {
            Fail("left half updated", step, TreeDifference(before, TreeOf(flash)));
        }
        const Tree planned = patch ? PlannedTree(Described(before), kept, archive, entries)
                                   : PlannedTree({}, emptied, archive, entries);
        const std::string unplanned = TreeDifference(planned, Described(TreeOf(flash)));
        if (!unplanned.empty()) {
            Fail("not the planned tree", step, unplanned);
        }
    }
    if (opened) {
        PackageClose(archive);
    }
    return 0;
}
