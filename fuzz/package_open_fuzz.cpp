// Fuzzes opening a package from memory: PackageOpenBytes, then PackageGetEntryInfo on every entry.
#include <cstdint>
#include <cstdlib>

#include "package/package.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PackageArchive* archive = nullptr;
    PackageEntry** entries = nullptr;
    uint32_t count = 0;
    if (PackageOpenBytes({data, size}, &archive, &entries, &count, 0) == 1) {
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
