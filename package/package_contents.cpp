#include "package/package_contents.h"

#include <memory>
#include <new>

#include "package/package_archive.h"

int32_t PackageReadContents(PackageArchive* archive, PackageContentsProc proc, void* context) {
    if (archive == nullptr || proc == nullptr) {
        return 0;
    }
    constexpr uint32_t kChunk = 64 * 1024;
    const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kChunk]);
    bool complete = buffer != nullptr;
    const int64_t size = archive->size();
    int64_t total = 0;
    while (complete) {
        const uint32_t n = archive->ReadAt(total, buffer.get(), kChunk);
        if (n == 0) {
            break;
        }
        total += n;
        if (total > size || proc(context, buffer.get(), n) != 0) {
            complete = false;
        }
    }
    return complete && total == size ? 1 : 0;
}

int32_t PackageGetComment(PackageArchive* archive, std::string* comment) {
    if (archive == nullptr || comment == nullptr) {
        return 0;
    }
    *comment = archive->endRecord().comment;
    return 1;
}

uint64_t PackagePackedBytes(PackageArchive* archive, PackageEntry* const* entries, uint32_t count) {
    uint64_t bytes = 0;
    for (uint32_t k = 0; archive != nullptr && k < count; ++k) {
        if (const PackageEntry* found = archive->FindEntry(entries[k]); found != nullptr) {
            bytes += found->CompressedTotal();
        }
    }
    return bytes;
}

int32_t PackageGetEntryRecord(PackageArchive* archive, PackageEntry* entry,
                              PackageEntryRecord* record) {
    if (archive == nullptr || record == nullptr) {
        return 0;
    }
    const PackageEntry* found = archive->FindEntry(entry);
    if (found == nullptr) {
        return 0;
    }
    PackageName name;
    if (found->ReadName(name) != 0) {
        return 0;
    }
    record->storedName = name.stored();
    record->crc = found->crc();
    record->size = found->UncompressedTotal();
    record->compressedSize = found->CompressedTotal();
    record->blocks = found->blockCount();
    record->directory = found->IsDirectory();
    return 1;
}
