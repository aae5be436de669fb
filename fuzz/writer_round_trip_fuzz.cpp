// Round trip of the package writer: fuzz-chosen entries (names within the name rule, directories
// and files whose contents may span several blocks), level, thread count and comment are written
// into a package, which is opened and extracted again. Every list of names that the rule and the
// plan accept must be written, and must come back as the same entries in the same order, byte for
// byte, and leave nothing else.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "package/install_plan.h"
#include "package/name_rules.h"
#include "package/package.h"
#include "package/package_contents.h"
#include "package/writer.h"
#include "tests/test_image.h"

namespace {

namespace fs = std::filesystem;

const testimage::Scratch kRoot(true);

// One to three levels of printable ASCII; the rule decides which are taken.
std::string ChooseName(FuzzedDataProvider& in) {
    std::string name;
    const int levels = in.ConsumeIntegralInRange(1, 3);
    for (int level = 0; level < levels; ++level) {
        name += level > 0 ? "\\" : "";
        const int length = in.ConsumeIntegralInRange(1, 8);
        for (int i = 0; i < length; ++i) {
            name += static_cast<char>(in.ConsumeIntegralInRange(0x20, 0x7E));
        }
    }
    return name;
}

// Mostly a few bytes; sometimes a chosen run repeated past one or two block boundaries. Never
// none: an entry without data is a directory, so the writer refuses an empty file.
std::string ChooseContent(FuzzedDataProvider& in) {
    std::string content = in.ConsumeRandomLengthString(64);
    if (content.empty()) {
        content = "x";
    }
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
        const size_t length = in.ConsumeIntegralInRange<size_t>(16000, 40000);
        const std::string run = content;
        while (content.size() < length) {
            content += run;
        }
        content.resize(length);
    }
    return content;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const fs::path& root = kRoot.Path();
    for (const char* name : {"stage", "out", "p.qzp"}) {
        fs::remove_all(root / name);
    }
    fs::create_directory(root / "out");

    PackOptions options;
    options.level = in.ConsumeIntegralInRange(0, 9);
    options.jobs = in.ConsumeIntegralInRange(1u, 3u);
    if (in.ConsumeBool()) {
        options.comment = "\\ResidentFlash2\\";
    }
    std::vector<PackItem> pack;
    std::vector<PlanEntry> planned;
    std::set<std::string> seen;
    testimage::Tree expected;  // what the extraction leaves
    const int count = in.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < count; ++i) {
        const bool directory = in.ConsumeIntegralInRange(0, 3) == 0;
        PackItem item{ChooseName(in) + (directory ? "\\" : ""), {}};
        // One entry per path, which the writer demands.
        std::u16string wide;
        if (CheckStoredName(item.name, directory, &wide) != NameFault::kNone ||
            !seen.insert(testimage::ExtractedPath(item.name)).second) {
            continue;
        }
        const std::string content = directory ? "" : ChooseContent(in);
        if (!directory) {
            const std::string source = std::to_string(pack.size());
            testimage::WriteAll(root / "stage" / source, content);
            item.source = u"\\stage\\" + std::u16string(source.begin(), source.end());
        }
        testimage::PutExtracted(expected, item.name, directory, content);
        planned.push_back({wide, directory, content.size()});
        pack.push_back(item);
    }
    if (pack.empty()) {
        return 0;
    }
    const testimage::Bound image(root);
    // The writer asks the installer's plan of the names alone (two names for one path, a file
    // where a directory goes); the extraction below is planned into its directory.
    InstallPlan plan;
    PlanOptions namesAlone;
    namesAlone.manifestRules = true;
    PlanOptions into;
    into.target = u"\\out\\";
    if (!BuildInstallPlan(planned, namesAlone, plan) || !BuildInstallPlan(planned, into, plan)) {
        return 0;
    }
    PackageWriter writer(options);
    if (writer.Write(pack, u"\\p.qzp") != 0) {
        std::fprintf(stderr, "refused item %lld: %s\n", static_cast<long long>(writer.ErrorItem()),
                     writer.Error().c_str());
        for (const PackItem& item : pack) {
            std::fprintf(stderr, "  [%s]\n", item.name.c_str());
        }
        std::abort();
    }

    PackageArchive* archive = nullptr;
    PackageEntry** entries = nullptr;
    uint32_t entryCount = 0;
    if (PackageOpen(u"\\p.qzp", &archive, &entries, &entryCount, 0) != 1 ||
        entryCount != pack.size()) {
        std::abort();
    }
    std::string comment;
    if (PackageGetComment(archive, &comment) != 1 || comment != options.comment) {
        std::abort();
    }
    for (uint32_t i = 0; i < entryCount; ++i) {
        PackageEntryRecord record;
        if (PackageGetEntryRecord(archive, entries[i], &record) != 1 ||
            record.storedName != pack[i].name || record.directory != planned[i].directory ||
            record.size != planned[i].size) {
            std::abort();
        }
    }
    if (PackageExtract(archive, entries, entryCount, u"\\out\\", nullptr, 1) != 1) {
        std::abort();
    }
    if (testimage::TreeOf(root / "out") != expected) {
        std::abort();
    }
    return 0;
}
