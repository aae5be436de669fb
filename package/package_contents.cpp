#include "package/package_contents.h"

#include <memory>
#include <new>

#include "package/package_archive.h"

int32_t PackageReadContents(PackageArchive* archive, PackageContentsProc proc, void* context) {
    if (archive == nullptr || proc == nullptr || archive->stream() == nullptr) {
        return 0;
    }
    const int64_t resume = archive->Tell();
    if (resume < 0 || archive->Seek(0, ArchiveFile::kStart) != 0) {
        return 0;
    }
    constexpr uint32_t kChunk = 64 * 1024;
    const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kChunk]);
    bool complete = buffer != nullptr;
    int64_t total = 0;
    while (complete) {
        const uint32_t n = archive->Read(buffer.get(), kChunk);
        if (n == 0) {
            break;
        }
        total += n;
        if (total > archive->size() || proc(context, buffer.get(), n) != 0) {
            complete = false;
        }
    }
    complete = complete && total == archive->size();
    // The extraction positions the stream itself; putting it back keeps the reader's state as the
    // caller left it either way.
    if (archive->Seek(static_cast<int32_t>(resume), ArchiveFile::kStart) != 0) {
        return 0;
    }
    return complete ? 1 : 0;
}
