#include "package/byte_source.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

int32_t FileByteSource::Open() {
    if (file_.Open(ArchiveFile::kRead) != 0) {
        return -1;
    }
    position_ = 0;
    return 0;
}

uint32_t FileByteSource::Fetch(int64_t offset, uint8_t* buffer, uint32_t count) {
    if (offset != position_) {
        if (file_.Seek(static_cast<int32_t>(offset), ArchiveFile::kStart) != 0) {
            return 0;
        }
        position_ = offset;
    }
    const uint32_t got = file_.Read(buffer, count);
    bytesRead_ += got;
    // After a short read the stream may hold an end-of-file or error state; the next read seeks,
    // which clears it, so a file that has grown since is seen.
    position_ = got == count ? position_ + got : -1;
    return got;
}

uint32_t FileByteSource::ReadAt(int64_t offset, void* buffer, uint32_t count) {
    if (offset < 0 || offset > INT32_MAX || count == 0) {
        return 0;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    if (offset >= aheadStart_ && offset < aheadStart_ + aheadLength_) {
        const int64_t at = offset - aheadStart_;
        done = static_cast<uint32_t>(std::min<int64_t>(count, aheadLength_ - at));
        std::memcpy(out, ahead_.get() + at, done);
        if (done == count) {
            return done;
        }
    }
    const int64_t from = offset + done;
    const uint32_t rest = count - done;
    const int64_t room = std::min<int64_t>(kReadAhead, aheadEnd_ - from);
    if (room <= rest) {
        return done + Fetch(from, out + done, rest);  // asked for at least what may be read ahead
    }
    if (ahead_ == nullptr) {
        ahead_.reset(new (std::nothrow) uint8_t[kReadAhead]);
        if (ahead_ == nullptr) {
            return done + Fetch(from, out + done, rest);
        }
    }
    aheadStart_ = from;
    aheadLength_ = Fetch(from, ahead_.get(), static_cast<uint32_t>(room));
    const uint32_t served = std::min(rest, aheadLength_);
    std::memcpy(out + done, ahead_.get(), served);
    return done + served;
}

uint32_t FileByteSource::ReadBeside(int64_t offset, void* buffer, uint32_t count) {
    if (offset >= aheadStart_ && offset + count <= aheadStart_ + aheadLength_) {
        return ReadAt(offset, buffer, count);  // all of it read ahead already
    }
    if (offset < 0 || offset > INT32_MAX || count == 0) {
        return 0;
    }
    return Fetch(offset, static_cast<uint8_t*>(buffer), count);
}

uint32_t MemoryByteSource::ReadAt(int64_t offset, void* buffer, uint32_t count) {
    const int64_t size = Size();
    if (offset < 0 || offset >= size) {
        return 0;
    }
    const int64_t left = size - offset;
    const uint32_t n = left < count ? static_cast<uint32_t>(left) : count;
    std::memcpy(buffer, bytes_.data() + offset, n);
    bytesRead_ += n;
    return n;
}
