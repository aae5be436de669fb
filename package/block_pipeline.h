// Decoding blocks on several threads while one thread takes them in order.
//
// The thread that runs the entries reads the compressed blocks of the run, in the order it takes
// them, into a fixed ring of slots; worker threads inflate and CRC the slots; the taking thread
// gets them back oldest first, exactly as SerialBlocks would give them. It also inflates waiting
// slots whenever it would otherwise wait, so N jobs keep N threads busy. Memory is the ring: a
// fixed number of blocks in flight, whatever the package's size.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "package/block_codec.h"
#include "package/block_source.h"
#include "package/package_fault.h"
#include "package/work_ring.h"

// The most blocks a multi-threaded run holds in memory at once, whatever the job count.
inline constexpr uint32_t kPipelineMaxSlots = 16;

// One unit of the ring: either the start of an entry's data (whether the package could be
// positioned there) or one block with its compressed and, once decoded, inflated bytes.
struct PipelineSlot {
    enum class Kind : uint8_t { kEntryStart, kBlock };
    Kind kind = Kind::kBlock;
    // The slot's verdict: kNone, or kSeek / kShortRead (when read) or kInflate / kSizeMismatch /
    // kOutOfMemory (when decoded), with the figures PackageProblem reports.
    BlockVerdict verdict;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;  // what the block table says
    std::unique_ptr<uint8_t[]> input;
    std::unique_ptr<uint8_t[]> output;
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

    // Hands the filled slot over: a block without a fault is decoded, anything else is final.
    void Submit() {
        const PipelineSlot& slot = Next();
        WorkRing::Submit(slot.kind == PipelineSlot::Kind::kBlock &&
                         slot.verdict.fault == PackageFault::kNone);
    }

    // Inflates a block slot to its verdict with `inflater` (what whichever thread takes it does).
    static void Decode(PipelineSlot& slot, block_codec::Inflater& inflater);
};

class PipelinedBlocks final : public BlockSource {
  public:
    // The threads to decode a run of `blocks` blocks, `compressed` bytes in all, with when `jobs`
    // are allowed (0: one per processor, and for a check, `write` false, only when its blocks
    // average 4 KiB compressed or more). 1 means the calling thread alone: no pipeline.
    static uint32_t Threads(uint32_t jobs, bool write, uint64_t compressed, uint64_t blocks);
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
    // The oldest slot once final, or null when the reads stopped before it; held until the next
    // call.
    PipelineSlot* Take();

    BlockPipeline ring_;
    ByteSource& reader_;
    std::span<const EntryData> run_;
    std::size_t item_ = 0;  // the entry being read ahead
    bool started_ = false;  // its start was handed over
    uint32_t block_ = 0;    // its next block
    int64_t position_ = 0;
    bool stopped_ = false;  // nothing more will be read
    bool holding_ = false;  // the taker still holds the oldest slot
    uint32_t peak_ = 0;
};
