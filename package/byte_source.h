// ByteSource: the bytes a package is read from, addressed by position. The reader asks only for
// ranges it has computed, so a source has no cursor of its own to keep in step.
//
// FileByteSource reads a device file through ArchiveFile (the platform's streams, unbuffered) and
// its own read-ahead buffer; MemoryByteSource reads a caller's buffer, for fuzzers and tests.
#pragma once

#include <cstdint>
#include <memory>
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
    // The reads that follow go forward, in order, up to `end`: a source may fetch up to there at
    // once. It holds until the next call; 0 (the start) means that every read fetches exactly
    // what it asks for.
    virtual void ReadAheadTo(int64_t end) { (void)end; }
    // ReadAt for a read beside the reads in order (the name of an entry that has no data): served
    // from what a source read ahead when it lies there, otherwise exactly the bytes asked for,
    // leaving what was read ahead in place.
    virtual uint32_t ReadBeside(int64_t offset, void* buffer, uint32_t count) {
        return ReadAt(offset, buffer, count);
    }
    // Bytes that arrived from the storage behind the source since it was opened, read-ahead
    // included: the measure of how often the package was read.
    virtual uint64_t BytesRead() const = 0;
};

class FileByteSource final : public ByteSource {
  public:
    explicit FileByteSource(const char16_t* path) : file_(path) {}
    ~FileByteSource() override { file_.Close(); }

    // Opens the file for reading: 0, or -1 for a missing, empty or too long file.
    int32_t Open();
    int64_t Size() const override { return file_.size(); }
    // Reads the file as it is now, which may be longer than Size() if it grew; bytes read ahead
    // come from memory as they were when read. A read inside the read-ahead range fetches up to
    // kReadAhead bytes in one system read, never past the range; any other read fetches exactly
    // what it asks for, so every byte that arrives was asked for or lies in the announced range.
    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) override;
    void ReadAheadTo(int64_t end) override { aheadEnd_ = end; }
    uint32_t ReadBeside(int64_t offset, void* buffer, uint32_t count) override;
    uint64_t BytesRead() const override { return bytesRead_; }

    static constexpr uint32_t kReadAhead = 64 * 1024;

  private:
    // One system read at `offset` straight into `buffer`.
    uint32_t Fetch(int64_t offset, uint8_t* buffer, uint32_t count);

    ArchiveFile file_;
    int64_t position_ = 0;  // where the stream stands, so sequential reads need no seek
    uint64_t bytesRead_ = 0;
    int64_t aheadEnd_ = 0;
    std::unique_ptr<uint8_t[]> ahead_;  // the read-ahead buffer, kReadAhead bytes once used
    int64_t aheadStart_ = 0;            // the file position of its first byte
    uint32_t aheadLength_ = 0;          // the bytes it holds
};

// Borrows the bytes: they must outlive the source.
class MemoryByteSource final : public ByteSource {
  public:
    explicit MemoryByteSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) override;
    uint64_t BytesRead() const override { return bytesRead_; }

  private:
    std::span<const uint8_t> bytes_;
    uint64_t bytesRead_ = 0;
};
