// Fuzzes checking and extracting a package opened from memory: PackageVerify (plain and prefixed
// layout) and PackageExtract of every entry into a scratch directory, which is removed again.
// Anything written outside the scratch directory is a finding, and so is a check whose result or
// problem differs between one decoding thread and several.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_device.h"
#include "package/block_pipeline.h"
#include "package/package.h"
#include "package/verify.h"

namespace {

void IgnoreProgress(uint32_t, uint32_t, uint32_t, uint32_t, const char16_t*, uint32_t, uint32_t,
                    uint32_t, uint32_t, uint32_t) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int32_t prefixed : {1, 0}) {
        PackageArchive* archive = nullptr;
        PackageEntry** entries = nullptr;
        uint32_t count = 0;
        if (PackageOpenBytes({data, size}, &archive, &entries, &count, prefixed) != 1) {
            return 0;
        }
        PackageProblem problem{};
        PackageSetJobs(archive, 1);
        const int32_t alone =
            PackageVerify(archive, entries, count, u"\\scratch\\", &IgnoreProgress, &problem);
        PackageProblem shared{};
        PackageSetJobs(archive, 3);
        if (PackageVerify(archive, entries, count, u"\\scratch\\", &IgnoreProgress, &shared) !=
                alone ||
            (alone == 0 &&
             (shared.fault != problem.fault || shared.entryIndex != problem.entryIndex ||
              shared.block != problem.block || shared.expected != problem.expected ||
              shared.actual != problem.actual))) {
            std::abort();
        }
        if (prefixed != 0) {
            PackageClose(archive);
            continue;
        }
        const std::string scratch = std::string(fuzz::DeviceRoot()) + "/scratch";
        std::filesystem::create_directory(scratch);
        if (PackageExtract(archive, entries, count, u"\\scratch\\", &IgnoreProgress, 1) != 1) {
            PackageClose(archive);
        }
        std::filesystem::remove_all(scratch);
    }
    // Nothing may remain beside the scratch directory.
    if (!std::filesystem::is_empty(fuzz::DeviceRoot())) {
        std::abort();
    }
    return 0;
}
