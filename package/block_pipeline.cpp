#include "package/block_pipeline.h"

#include <algorithm>
#include <new>

#include "package/layout.h"
#include "platform/system.h"

namespace {

// More threads than this only cost memory.
constexpr uint32_t kMaxJobs = 64;
// Blocks in flight per thread (each slot holds 80 KB): enough to keep every thread busy across
// the small files the writing thread spends its time opening, and to wake the workers once for
// several small blocks; few enough to stay near a megabyte.
constexpr uint32_t kSlotsPerJob = 8;
// Below this average compressed size, inflating a block costs less than handing it to another
// thread and back: a verification of small files is then faster on the calling thread alone.
// Extraction shares them all the same, since its thread has the files to create meanwhile.
constexpr uint64_t kSharedBlockBytes = 4096;

}  // namespace

PipelineDecoders::PipelineDecoders(uint32_t jobs)
    : inflaters(new block_codec::Inflater[std::max(jobs, 1u)]) {
    for (uint32_t i = 0; i < std::max(jobs, 1u); ++i) {
        if (!inflaters[i].Ready()) {
            throw std::bad_alloc();
        }
    }
}

BlockPipeline::BlockPipeline(uint32_t jobs, uint32_t slots)
    : PipelineDecoders(jobs), WorkRing(jobs, slots, [this](PipelineSlot& slot, uint32_t thread) {
          Decode(slot, inflaters[thread]);
      }) {
    for (PipelineSlot& slot : Slots()) {
        slot.input.reset(new uint8_t[kPackageMaxCompressedBlock]);
        slot.output.reset(new uint8_t[kPackageWorkBufferSize]);
    }
}

void BlockPipeline::Decode(PipelineSlot& slot, block_codec::Inflater& inflater) {
    slot.verdict = DecodeBlock(inflater, slot.input.get(), slot.compressedSize,
                               slot.uncompressedSize, slot.output.get());
}

uint32_t PipelinedBlocks::Threads(uint32_t jobs, bool write, uint64_t compressed, uint64_t blocks) {
    uint32_t threads = jobs != 0 ? jobs : platform::ProcessorCount();
    threads = std::min(threads, kMaxJobs);
    if (blocks < 2 || (jobs == 0 && !write && compressed < blocks * kSharedBlockBytes)) {
        return 1;  // nothing worth sharing
    }
    return threads;
}

std::unique_ptr<PipelinedBlocks> PipelinedBlocks::Make(uint32_t threads, ByteSource& reader,
                                                       std::span<const EntryData> run) {
    try {
        return std::unique_ptr<PipelinedBlocks>(new PipelinedBlocks(threads, reader, run));
    } catch (const std::bad_alloc&) {
        return nullptr;  // no memory for the ring
    }
}

PipelinedBlocks::PipelinedBlocks(uint32_t threads, ByteSource& reader,
                                 std::span<const EntryData> run)
    : ring_(threads, std::min(kPipelineMaxSlots, std::max(2u, threads) * kSlotsPerJob)),
      reader_(reader),
      run_(run) {}

void PipelinedBlocks::Feed() {
    // Refilled half a ring at a time, so that workers wake for batches of blocks: many small
    // files would otherwise cost a wake-up per block.
    if (!ring_.Empty() && ring_.InFlight() > ring_.Capacity() / 2) {
        return;
    }
    Fill();
    ring_.Publish();
}

// Reads ahead into every free slot of the ring: the blocks of the run's entries in the order they
// will be taken, with the same positioning and reads SerialBlocks makes. Stops for good at the
// first position or read that fails, since the taking stops there at the latest.
void PipelinedBlocks::Fill() {
    while (!stopped_ && !ring_.Full()) {
        if (item_ >= run_.size()) {
            stopped_ = true;
            return;
        }
        const EntryData& entry = run_[item_];
        PipelineSlot& slot = ring_.Next();
        slot.verdict = BlockVerdict{};
        if (!started_) {
            slot.kind = PipelineSlot::Kind::kEntryStart;
            position_ = entry.start;
            reader_.ReadAheadTo(entry.aheadEnd);
            if (entry.start < 0) {
                slot.verdict.fault = PackageFault::kSeek;
                stopped_ = true;
            }
            started_ = true;
            block_ = 0;
            ring_.Submit();
            continue;
        }
        const PackageBlock& block = entry.blocks[block_];
        slot.kind = PipelineSlot::Kind::kBlock;
        slot.compressedSize = block.compressedSize;
        slot.uncompressedSize = block.uncompressedSize;
        slot.verdict = ReadBlock(reader_, &position_, block, slot.input.get());
        stopped_ = slot.verdict.fault != PackageFault::kNone;
        if (++block_ == entry.blocks.size()) {
            ++item_;
            started_ = false;
        }
        ring_.Submit();
        peak_ = std::max(peak_, ring_.InFlight());
    }
}

PipelineSlot* PipelinedBlocks::Take() {
    if (holding_) {
        ring_.Release();
        holding_ = false;
    }
    Feed();
    if (ring_.Empty()) {
        return nullptr;  // the reads stopped before this point: cannot happen after a success
    }
    holding_ = true;
    return &ring_.Oldest();
}

int32_t PipelinedBlocks::NextEntry() {
    const PipelineSlot* slot = Take();
    return slot != nullptr && slot->kind == PipelineSlot::Kind::kEntryStart &&
                   slot->verdict.fault == PackageFault::kNone
               ? 0
               : -1;
}

DecodedBlock PipelinedBlocks::NextBlock() {
    DecodedBlock decoded;
    const PipelineSlot* slot = Take();
    if (slot == nullptr || slot->kind != PipelineSlot::Kind::kBlock) {
        decoded.fault = PackageFault::kShortRead;
        return decoded;
    }
    decoded.fault = slot->verdict.fault;
    decoded.expected = slot->verdict.expected;
    decoded.actual = slot->verdict.actual;
    decoded.data = slot->output.get();
    decoded.length = slot->verdict.length;
    decoded.crc = slot->verdict.crc;
    return decoded;
}
