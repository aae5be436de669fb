// Fuzzes opening a package: bytes -> file -> PackageOpen -> PackageGetEntryInfo on every entry.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "package/package.h"
#include "platform/file.h"

namespace {

// The device root for the whole run: a fresh temporary directory, removed when the process ends.
// Kept in a plain array, which outlives the exit handler that removes it.
char g_root[] = "/tmp/qzp-fuzz-open-XXXXXX";

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file = Root() + "/pkg.qzp";
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, out);
    std::fclose(out);

    PackageArchive* archive = nullptr;
    PackageEntry** entries = nullptr;
    uint32_t count = 0;
    if (PackageOpen(u"\\pkg.qzp", &archive, &entries, &count, 0) == 1) {
        PackageEntryInfo info;
        for (uint32_t i = 0; i < count; ++i) {
            if (PackageGetEntryInfo(archive, entries[i], &info) != 1) {
                std::abort();  // every listed entry belongs to the catalogue
            }
        }
        PackageClose(archive);
    }
    return 0;
}
