#include "package/byte_source.h"

#include <climits>
#include <cstring>

uint32_t FileByteSource::ReadAt(int64_t offset, void* buffer, uint32_t count) {
    if (offset < 0 || offset > INT32_MAX || count == 0) {
        return 0;
    }
    if (offset != position_) {
        if (file_.Seek(static_cast<int32_t>(offset), ArchiveFile::kStart) != 0) {
            return 0;
        }
        position_ = offset;
    }
    const uint32_t got = file_.Read(buffer, count);
    // After a short read the stream may hold an end-of-file or error state; the next read seeks,
    // which clears it, so a file that has grown since is seen.
    position_ = got == count ? position_ + got : -1;
    return got;
}

uint32_t MemoryByteSource::ReadAt(int64_t offset, void* buffer, uint32_t count) {
    const int64_t size = Size();
    if (offset < 0 || offset >= size) {
        return 0;
    }
    const int64_t left = size - offset;
    const uint32_t n = left < count ? static_cast<uint32_t>(left) : count;
    std::memcpy(buffer, bytes_.data() + offset, n);
    return n;
}
