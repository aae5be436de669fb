// Decoded blocks of the file entries that a run (an extraction, a check or a scan) processes, in
// the order it processes them. The job count picks one of two sources: SerialBlocks reads and
// inflates each block on the calling thread when it is asked for; PipelinedBlocks
// (block_pipeline.h) reads ahead and inflates on several threads. Either way the taker gets the
// same blocks, faults and figures in the same order and does everything observable itself.
//
// Results: 0 success, -1 failure.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "package/block_codec.h"
#include "package/byte_source.h"
#include "package/package_entry.h"
#include "package/package_fault.h"

// One file entry's data as a run reads it (one per file of the run: positions are 32-bit, as a
// package stays below 2 GiB).
struct EntryData {
    std::span<const PackageBlock> blocks;
    int32_t start = -1;  // its first byte in the package; -1 when it cannot be positioned there
    // How far reads may go ahead from here (ByteSource::ReadAheadTo): the end of the data of the
    // last entry that follows this one directly both in the run and in the package.
    int32_t aheadEnd = 0;
    // The bytes just before `start` read with the data, as the entry's local name: its stored
    // name's length in the catalogue (0: none read).
    uint16_t nameLength = 0;
};

// Reads the `length` bytes before `start` (an entry's local name) into `name`: true when all
// arrived. Read in order with the data that follows, so a source that reads ahead serves both
// with one read.
bool ReadLocalName(ByteSource& reader, int64_t start, uint16_t length, PackageName& name);

// The check of one block: inflated by `inflater` into `output` (kPackageWorkBufferSize bytes) to
// exactly `uncompressedSize` bytes. fault kNone with length and CRC-32 of the bytes, or kInflate /
// kSizeMismatch with the figures PackageProblem reports, or kOutOfMemory.
struct BlockVerdict {
    PackageFault fault = PackageFault::kNone;
    uint64_t expected = 0;
    uint64_t actual = 0;
    uint32_t length = 0;
    uint32_t crc = 0;
};
BlockVerdict DecodeBlock(block_codec::Inflater& inflater, const uint8_t* input,
                         uint32_t compressedSize, uint32_t uncompressedSize, uint8_t* output);

// Reads the compressed bytes of `block` at *position into `input` (kPackageMaxCompressedBlock
// bytes) and moves *position past them: kNone, or kShortRead with the figures PackageProblem
// reports when fewer arrive or the block is larger than the format allows.
BlockVerdict ReadBlock(ByteSource& reader, int64_t* position, const PackageBlock& block,
                       uint8_t* input);

// One block of the current entry: fault kNone with its inflated bytes (valid until the next call
// on the source), their length and CRC-32; or the fault that ends the run, with the figures.
struct DecodedBlock {
    PackageFault fault = PackageFault::kNone;
    uint64_t expected = 0;
    uint64_t actual = 0;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    uint32_t crc = 0;
};

class BlockSource {
  public:
    virtual ~BlockSource() = default;
    // Moves on to the run's next entry: 0, or -1 when its data cannot be reached.
    virtual int32_t NextEntry() = 0;
    // The current entry's next block; taken in order, at most its block count. A fault, or a
    // failed NextEntry, ends the run.
    virtual DecodedBlock NextBlock() = 0;
    // The most blocks held in memory at once so far: 0 on the calling thread alone.
    virtual uint32_t PeakBlocksInFlight() const { return 0; }
    // The current entry's local name (EntryData::nameLength bytes before its data), read with its
    // data; null when none was read.
    const PackageName* LocalName() const { return localNamed_ ? &localName_ : nullptr; }

  protected:
    PackageName localName_;
    bool localNamed_ = false;
};

// Reads `reader` for the entries of `run` (borrowed, like the reader, for the source's life).
// Throws std::bad_alloc when its buffers or decoder cannot be allocated.
class SerialBlocks final : public BlockSource {
  public:
    SerialBlocks(ByteSource& reader, std::span<const EntryData> run);

    int32_t NextEntry() override;
    DecodedBlock NextBlock() override;

  private:
    ByteSource& reader_;
    std::span<const EntryData> run_;
    std::size_t next_ = 0;  // the run's next entry
    const EntryData* entry_ = nullptr;
    uint32_t block_ = 0;  // the current entry's next block
    int64_t position_ = 0;
    std::unique_ptr<uint8_t[]> input_;
    std::unique_ptr<uint8_t[]> output_;
    block_codec::Inflater inflater_;
};
