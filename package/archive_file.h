// ArchiveFile: one wide device path bound to one C-runtime byte stream, with the package
// library's integer results (0 success, -1 failure; Read returns the byte count).
//
// Destroying an ArchiveFile does not close its stream: the owner calls Close first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class ArchiveFile {
  public:
    // kCreate makes a new file and fails when anything already stands at the path.
    enum Mode : int32_t { kRead = 0, kWrite = 1, kCreate = 2 };
    enum Origin : int32_t { kStart = 0, kCurrent = 1, kEnd = 2 };

    // Copies `path` whole (the system refuses a path it cannot hold; nothing here shortens one,
    // which could name another file). A null path never opens.
    explicit ArchiveFile(const char16_t* path);
    // Writes to `stream`, opened by someone else who also closes it (Close is not called), as
    // `path`.
    ArchiveFile(std::FILE* stream, const char16_t* path) : path_(path), stream_(stream) {}
    virtual ~ArchiveFile() = default;
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    // Opens the stream ("rb" unbuffered, "wb" or "wbx"), takes the file's length into size() (0 for
    // the writing modes, which start empty) and positions the stream at the start. Fails for a
    // missing file, an empty file in read mode, and a file of 2 GiB or more in read mode (positions
    // are signed 32-bit). When the stream was opened but a later step failed, the stream stays open
    // and the owner closes it.
    int32_t Open(int32_t mode);
    void Close();
    // Bytes actually read (0 at the end of the file or on error).
    uint32_t Read(void* buffer, uint32_t count);
    // 0 when all bytes were written, else -1.
    int32_t Write(const void* buffer, uint32_t count);
    // A target before the start of the file, or a refused seek, fails and leaves the position.
    int32_t Seek(int32_t offset, int32_t origin);

    const char16_t* path() const { return path_.c_str(); }
    int64_t size() const { return size_; }
    std::FILE* stream() const { return stream_; }

  private:
    std::u16string path_;
    bool missingPath_ = false;
    int64_t size_ = 0;
    std::FILE* stream_ = nullptr;
};
