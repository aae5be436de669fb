// Fuzzes checking and extracting a package: open, PackageVerify (plain and prefixed layout) and
// PackageExtract of every entry into a scratch directory, which is removed again. Anything written
// outside the scratch directory is a finding.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "package/package.h"
#include "package/verify.h"
#include "platform/file.h"

namespace {

// The device root for the whole run: a fresh temporary directory, removed when the process ends.
// Kept in a plain array, which outlives the exit handler that removes it.
char g_root[] = "/tmp/qzp-fuzz-extract-XXXXXX";

const std::string Root() {
    static const bool made = [] {
        if (mkdtemp(g_root) == nullptr) {
            std::abort();
        }
        platform::SetDeviceRoot(g_root);
        std::atexit([] { std::filesystem::remove_all(g_root); });
        return true;
    }();
    (void)made;
    return g_root;
}

void IgnoreProgress(uint32_t, uint32_t, uint32_t, uint32_t, const char16_t*, uint32_t, uint32_t,
                    uint32_t, uint32_t, uint32_t) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file = Root() + "/pkg.qzp";
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, out);
    std::fclose(out);

    for (int32_t prefixed : {1, 0}) {
        PackageArchive* archive = nullptr;
        PackageEntry** entries = nullptr;
        uint32_t count = 0;
        if (PackageOpen(u"\\pkg.qzp", &archive, &entries, &count, prefixed) != 1) {
            return 0;
        }
        PackageProblem problem;
        PackageVerify(archive, entries, count, &IgnoreProgress, &problem);
        if (prefixed != 0) {
            PackageClose(archive);
            continue;
        }
        std::filesystem::create_directory(Root() + "/scratch");
        if (PackageExtract(archive, entries, count, u"\\scratch\\", &IgnoreProgress, 1) != 1) {
            PackageClose(archive);
        }
        std::filesystem::remove_all(Root() + "/scratch");
    }
    // Only the package itself may remain beside the scratch directory.
    for (const auto& entry : std::filesystem::directory_iterator(Root())) {
        if (entry.path().filename() != "pkg.qzp") {
            std::abort();
        }
    }
    return 0;
}
