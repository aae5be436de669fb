// Decoding blocks on several threads while one thread takes them in order.
//
// The thread that runs the entries reads the compressed blocks of the run, in the order it takes
// them, into a fixed ring of slots, each holding a batch of consecutive blocks (many small ones
// or a few large ones), so that threads hand work over once per batch rather than once per block;
// worker threads inflate and CRC the slots; the taking thread gets the blocks back oldest first,
// exactly as SerialBlocks would give them. It also inflates waiting slots whenever it would
// otherwise wait, so N jobs keep N threads busy. Memory is the ring: a fixed number of slots in
// flight, whatever the package's size.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "package/block_codec.h"
#include "package/block_source.h"
#include "package/layout.h"
#include "package/package_fault.h"
#include "package/work_ring.h"

// The most slots (batches of blocks) a multi-threaded run holds in memory at once, whatever the
// job count.
inline constexpr uint32_t kPipelineMaxSlots = 16;
// A slot's buffers: room for two blocks of the largest size each, compressed and inflated. A
// batch takes blocks while any block would still fit, so each block has the whole inflating room
// (kPackageWorkBufferSize) a single block has, and an overlong one is told as SerialBlocks tells
// it.
inline constexpr uint32_t kPipelineInputBytes = 2 * kPackageMaxCompressedBlock;
inline constexpr uint32_t kPipelineOutputBytes = 2 * kPackageWorkBufferSize;
inline constexpr uint32_t kPipelineBatchItems = 64;

// One item of a slot's batch: either the start of an entry's data (whether the package could be
// positioned there) or one block with its compressed and, once decoded, inflated bytes.
struct PipelineItem {
    enum class Kind : uint8_t { kEntryStart, kBlock };
    Kind kind = Kind::kBlock;
    // The item's verdict: kNone, or kSeek / kShortRead (when read) or kInflate / kSizeMismatch /
    // kOutOfMemory (when decoded), with the figures PackageProblem reports.
    BlockVerdict verdict;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;  // what the block table says
    uint32_t inputAt = 0;           // its compressed bytes (an entry's start: its local name)
                                    // in the slot's input
    uint16_t nameLength = 0;        // an entry's start: the bytes of its local name (0: none)
    uint32_t outputAt = 0;          // its inflated bytes in the slot's output
};

// One unit of the ring: a batch of items in the order they are taken, with their bytes.
struct PipelineSlot {
    std::vector<PipelineItem> items;    // at most kPipelineBatchItems, reserved up front
    std::unique_ptr<uint8_t[]> input;   // kPipelineInputBytes
    std::unique_ptr<uint8_t[]> output;  // kPipelineOutputBytes
};

// The threads' decoders, one per thread by its number. A base of the pipeline, so they are made
// before its workers start and outlive them. Throws std::bad_alloc when one cannot be made.
struct PipelineDecoders {
    explicit PipelineDecoders(uint32_t jobs);
    std::unique_ptr<block_codec::Inflater[]> inflaters;
};

class BlockPipeline : private PipelineDecoders, public WorkRing<PipelineSlot> {
  public:
    // `jobs` threads in all (the caller counts as one), `slots` blocks in flight. Throws
    // std::bad_alloc when the slots or the threads' decoders cannot be allocated; a worker that
    // cannot be started only leaves fewer of them.
    BlockPipeline(uint32_t jobs, uint32_t slots);

    // Hands the filled slot over: one with a block without a fault is decoded, any other is final.
    void Submit();

    // Inflates the blocks of a slot to their verdicts with `inflater` (what whichever thread takes
    // it does).
    static void Decode(PipelineSlot& slot, block_codec::Inflater& inflater);
};

class PipelinedBlocks final : public BlockSource {
  public:
    // The threads to decode a run of `blocks` blocks with when `jobs` are allowed (0: one per
    // processor). 1 means the calling thread alone: no pipeline. Small blocks are shared too, since
    // they are handed over in batches.
    static uint32_t Threads(uint32_t jobs, uint64_t blocks);
    // A source on `threads` threads reading `reader` for `run` (both borrowed for its life); null
    // when its ring cannot be allocated.
    static std::unique_ptr<PipelinedBlocks> Make(uint32_t threads, ByteSource& reader,
                                                 std::span<const EntryData> run);

    int32_t NextEntry() override;
    DecodedBlock NextBlock() override;
    uint32_t PeakBlocksInFlight() const override { return peak_; }

  private:
    PipelinedBlocks(uint32_t threads, ByteSource& reader, std::span<const EntryData> run);
    // Tops the ring up, half a ring at a time, and wakes the workers.
    void Feed();
    void Fill();
    // Reads the next items of the run into `slot` while they fit.
    void FillSlot(PipelineSlot& slot);
    // The next item, from the oldest slot once final, or null when the reads stopped before it;
    // its bytes are held until the next call.
    const PipelineItem* Take();

    BlockPipeline ring_;
    ByteSource& reader_;
    std::span<const EntryData> run_;
    std::size_t item_ = 0;  // the entry being read ahead
    bool started_ = false;  // its start was handed over
    uint32_t block_ = 0;    // its next block
    int64_t position_ = 0;
    bool stopped_ = false;             // nothing more will be read
    PipelineSlot* holding_ = nullptr;  // the oldest slot, while the taker takes its items
    std::size_t taken_ = 0;            // the item of it taken last
    uint32_t peak_ = 0;
};
