// Decoding blocks on several threads while one thread writes them in order.
//
// The thread that extracts reads the compressed blocks of the entries it will process, in the
// order it processes them, into a fixed ring of slots; worker threads inflate and CRC the slots;
// the extracting thread takes them back oldest first and does everything observable itself
// (directories, files, progress calls, the first fault), exactly as a single thread would. It
// also inflates waiting slots whenever it would otherwise wait, so N jobs keep N threads busy.
// Memory is the ring: a fixed number of blocks in flight, whatever the package's size.
#pragma once

#include <cstdint>
#include <memory>

#include "package/package.h"
#include "package/package_fault.h"
#include "package/work_ring.h"

class PackageArchive;

// The most blocks a multi-threaded run holds in memory at once, whatever the job count.
inline constexpr uint32_t kPipelineMaxSlots = 64;

// The check of one block: inflated into `output` (kPackageWorkBufferSize bytes) to exactly
// `uncompressedSize` bytes. fault kNone with length and CRC-32 of the bytes, or kInflate /
// kSizeMismatch with the figures PackageProblem reports. Serial and pipelined decoding share it.
struct BlockVerdict {
    PackageFault fault = PackageFault::kNone;
    uint64_t expected = 0;
    uint64_t actual = 0;
    uint32_t length = 0;
    uint32_t crc = 0;
};
BlockVerdict DecodeBlock(const uint8_t* input, uint32_t compressedSize, uint32_t uncompressedSize,
                         uint8_t* output);

// One unit of the ring: either the start of an entry's data (whether the package could be
// positioned there) or one block with its compressed and, once decoded, inflated bytes.
struct PipelineSlot {
    enum class Kind : uint8_t { kEntryStart, kBlock };
    Kind kind = Kind::kBlock;
    // The slot's verdict: kNone, or kSeek / kShortRead (when read) or kInflate / kSizeMismatch
    // (when decoded), with the block index and the figures PackageProblem reports.
    PackageFault fault = PackageFault::kNone;
    uint32_t block = 0;
    uint64_t expected = 0;
    uint64_t actual = 0;
    // A prefixed package is positioned back at its END record after an entry's last block, as
    // extraction does; false when that seek failed.
    bool seekBackOk = true;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;  // what the block table says
    uint32_t length = 0;            // what it inflated to
    uint32_t crc = 0;               // CRC-32 of the inflated bytes
    std::unique_ptr<uint8_t[]> input;
    std::unique_ptr<uint8_t[]> output;
};

class BlockPipeline : public WorkRing<PipelineSlot> {
  public:
    // `jobs` threads in all (the caller counts as one), `slots` blocks in flight. Throws
    // std::bad_alloc when the slots cannot be allocated; a worker that cannot be started only
    // leaves fewer of them.
    BlockPipeline(uint32_t jobs, uint32_t slots);

    // Hands the filled slot over: a block without a fault is decoded, anything else is final.
    void Submit() {
        const PipelineSlot& slot = Next();
        WorkRing::Submit(slot.kind == PipelineSlot::Kind::kBlock &&
                         slot.fault == PackageFault::kNone);
    }

    // Inflates a block slot to its verdict (what whichever thread takes it does).
    static void Decode(PipelineSlot& slot);
};
