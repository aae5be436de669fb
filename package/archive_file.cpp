// ArchiveFile over the platform's device-path streams.
#include "package/archive_file.h"

#include <climits>

#include "platform/file.h"

ArchiveFile::ArchiveFile(const char16_t* path) {
    if (path == nullptr) {
        missingPath_ = true;  // nothing to open
        return;
    }
    path_ = path;
}

int32_t ArchiveFile::Open(int32_t mode) {
    if (missingPath_ || (mode != kRead && mode != kWrite && mode != kCreate)) {
        return -1;
    }
    stream_ = platform::OpenStream(path_.c_str(),
                                   mode == kRead ? u"rb" : (mode == kWrite ? u"wb" : u"wbx"));
    if (stream_ == nullptr) {
        return -1;
    }
    size_ = 0;
    if (mode == kRead) {
        // A package is read in the ranges its reader asks for (FileByteSource reads ahead on its
        // own): the stream's buffer would fetch bytes around every seek that nobody asked for.
        std::setvbuf(stream_, nullptr, _IONBF, 0);
    }
    if (mode != kRead) {
        return 0;  // emptied or new: nothing to measure, and the position is the start
    }
    if (std::fseek(stream_, 0, SEEK_END) != 0) {
        return -1;
    }
    const long length = std::ftell(stream_);
    if (length < 0) {
        return -1;
    }
    size_ = length;
    if (length == 0 || length > INT32_MAX) {
        return -1;
    }
    if (std::fseek(stream_, 0, SEEK_SET) != 0) {
        return -1;
    }
    return 0;
}

void ArchiveFile::Close() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
}

uint32_t ArchiveFile::Read(void* buffer, uint32_t count) {
    if (stream_ == nullptr || count == 0) {
        return 0;
    }
    return static_cast<uint32_t>(std::fread(buffer, 1, count, stream_));
}

int32_t ArchiveFile::Write(const void* buffer, uint32_t count) {
    if (stream_ == nullptr) {
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    return platform::WriteStream(stream_, buffer, count) == count ? 0 : -1;
}

int32_t ArchiveFile::Seek(int32_t offset, int32_t origin) {
    if (stream_ == nullptr) {
        return -1;
    }
    const long here = std::ftell(stream_);
    if (here < 0) {
        return -1;
    }
    long base = 0;
    switch (origin) {
        case kStart:
            base = 0;
            break;
        case kCurrent:
            base = here;
            break;
        case kEnd: {
            if (std::fseek(stream_, 0, SEEK_END) != 0) {
                std::fseek(stream_, here, SEEK_SET);
                return -1;
            }
            base = std::ftell(stream_);
            if (base < 0) {
                std::fseek(stream_, here, SEEK_SET);
                return -1;
            }
            break;
        }
        default:
            return -1;
    }
    // Computed here rather than left to the C runtime, whose behaviour for a target before the
    // start differs between runtimes; a failed seek must leave the position unchanged.
    const long long target = static_cast<long long>(base) + offset;
    if (target < 0 || target > LONG_MAX ||
        std::fseek(stream_, static_cast<long>(target), SEEK_SET) != 0) {
        std::fseek(stream_, here, SEEK_SET);
        return -1;
    }
    return 0;
}
