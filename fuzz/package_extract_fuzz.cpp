// Fuzzes opening, checking and extracting a package from memory: PackageOpenBytes and
// PackageGetEntryInfo of every listed entry, PackageVerify and PackageScan (plain and prefixed
// layout) and PackageExtract of every entry into a scratch directory, which is removed again.
// Anything written outside the scratch directory is a finding, and so is a listed entry without a
// record, a check whose result or problem differs between one decoding thread and several, a scan
// that passes on other bytes than the package's, or a scan that fails where the verification
// passed.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "package/package.h"
#include "package/package_scan.h"
#include "package/verify.h"
#include "tests/package/package_builder.h"
#include "tests/test_image.h"

namespace {

const testimage::Scratch kRoot(true);  // the device image; nothing may remain in it

void IgnoreProgress(uint32_t, uint32_t, uint32_t, uint32_t, const char16_t*, uint32_t, uint32_t,
                    uint32_t, uint32_t, uint32_t) {}

bool SameProblem(const PackageProblem& a, const PackageProblem& b) {
    return a.fault == b.fault && a.entryIndex == b.entryIndex && a.block == b.block &&
           a.expected == b.expected && a.actual == b.actual;
}

// PackageScan on one thread and on three: the same verdict and problem, and only the package's
// own bytes, in order, passed on.
void CheckScan(PackageArchive* archive, const uint8_t* data, size_t size, int32_t verified) {
    PackageProblem problems[2] = {};
    int32_t results[2] = {};
    for (int run = 0; run < 2; ++run) {
        PackageSetJobs(archive, run == 0 ? 1 : 3);
        std::vector<uint8_t> contents;
        PackageScanHooks hooks;
        hooks.contents = &pkgtest::AppendTo;
        hooks.contentsContext = &contents;
        results[run] = PackageScan(archive, hooks, &problems[run]);
        if (contents.size() > size || !std::equal(contents.begin(), contents.end(), data) ||
            (results[run] == 1 && contents.size() != size)) {
            std::abort();
        }
    }
    if (results[0] != results[1] || (results[0] == 0 && !SameProblem(problems[0], problems[1])) ||
        (verified == 1 && results[0] != 1)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const testimage::Bound image(kRoot.Path());
    for (int32_t prefixed : {1, 0}) {
        PackageArchive* archive = nullptr;
        PackageEntry** entries = nullptr;
        uint32_t count = 0;
        if (PackageOpenBytes({data, size}, &archive, &entries, &count, prefixed) != 1) {
            return 0;
        }
        PackageEntryInfo info;
        for (uint32_t i = 0; i < count; ++i) {
            if (PackageGetEntryInfo(archive, entries[i], &info) != 1) {
                std::abort();
            }
        }
        PackageProblem problem{};
        PackageSetJobs(archive, 1);
        const int32_t alone =
            PackageVerify(archive, entries, count, u"\\scratch\\", &IgnoreProgress, &problem);
        PackageProblem shared{};
        PackageSetJobs(archive, 3);
        if (PackageVerify(archive, entries, count, u"\\scratch\\", &IgnoreProgress, &shared) !=
                alone ||
            (alone == 0 && !SameProblem(shared, problem))) {
            std::abort();
        }
        CheckScan(archive, data, size, alone);
        if (prefixed != 0) {
            PackageClose(archive);
            continue;
        }
        const std::filesystem::path scratch = kRoot.Path() / "scratch";
        std::filesystem::create_directory(scratch);
        if (PackageExtract(archive, entries, count, u"\\scratch\\", &IgnoreProgress, 1) != 1) {
            PackageClose(archive);
        }
        std::filesystem::remove_all(scratch);
    }
    // Nothing may remain beside the scratch directory.
    if (!std::filesystem::is_empty(kRoot.Path())) {
        std::abort();
    }
    return 0;
}
