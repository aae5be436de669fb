// ArchiveFile: one wide device path bound to one C-runtime byte stream, with the package
// library's integer results (0 success, -1 failure; Read returns the byte count). It also holds
// the library's two process-wide text-conversion hooks.
//
// Destroying an ArchiveFile does not close its stream: the owner calls Close first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "package/layout.h"

using NarrowToWideProc = int32_t (*)(const char* source, char16_t* destination, int32_t capacity);
using WideToNarrowProc = int32_t (*)(const char16_t* source, char* destination, int32_t capacity);

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

    static void SetNarrowToWide(NarrowToWideProc proc) { narrowToWide_ = proc; }
    static void SetWideToNarrow(WideToNarrowProc proc) { wideToNarrow_ = proc; }
    // Conversion through the installed hook; without one the library's own NarrowToWide /
    // WideToNarrow is used rather than calling through a null pointer.
    static int32_t ConvertToWide(const char* source, char16_t* destination, int32_t capacity);
    static int32_t ConvertToNarrow(const char16_t* source, char* destination, int32_t capacity);

  private:
    std::u16string path_;
    bool missingPath_ = false;
    int64_t size_ = 0;
    std::FILE* stream_ = nullptr;

    static NarrowToWideProc narrowToWide_;
    static WideToNarrowProc wideToNarrow_;
};
