// ByteSource: the bytes a package is read from, addressed by position. The reader asks only for
// ranges it has computed, so a source has no cursor of its own to keep in step.
//
// FileByteSource reads a device file through ArchiveFile (the platform's streams);
// MemoryByteSource reads a caller's buffer, for fuzzers and tests.
#pragma once

#include <cstdint>
#include <span>

#include "package/archive_file.h"

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // The length in bytes, fixed when the source was opened.
    virtual int64_t Size() const = 0;
    // Copies up to `count` bytes from `offset` into `buffer` and returns how many arrived: fewer
    // at the end of the data, 0 for a negative offset or a read error.
    virtual uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) = 0;
};

class FileByteSource final : public ByteSource {
  public:
    explicit FileByteSource(const char16_t* path) : file_(path) {}
    ~FileByteSource() override { file_.Close(); }

    // Opens the file for reading: 0, or -1 for a missing, empty or too long file.
    int32_t Open() { return file_.Open(ArchiveFile::kRead); }
    int64_t Size() const override { return file_.size(); }
    // Reads the file as it is now, which may be longer than Size() if it grew.
    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) override;

  private:
    ArchiveFile file_;
    int64_t position_ = 0;  // where the stream stands, so sequential reads need no seek
};

// Borrows the bytes: they must outlive the source.
class MemoryByteSource final : public ByteSource {
  public:
    explicit MemoryByteSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) override;

  private:
    std::span<const uint8_t> bytes_;
};
