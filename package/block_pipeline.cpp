#include "package/block_pipeline.h"

#include <algorithm>
#include <new>

#include "package/layout.h"
#include "platform/system.h"

namespace {

// More threads than this only cost memory.
constexpr uint32_t kMaxJobs = 64;
// Slots in flight per thread (each holds 160 KB, a batch of up to 64 KB of blocks as the block
// table gives their sizes): enough to keep every thread busy across the small files the writing
// thread spends its time opening; few enough to stay near a megabyte.
constexpr uint32_t kSlotsPerJob = 4;

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
        slot.items.reserve(kPipelineBatchItems);
        slot.input.reset(new uint8_t[kPipelineInputBytes]);
        slot.output.reset(new uint8_t[kPipelineOutputBytes]);
    }
}

void BlockPipeline::Submit() {
    const std::vector<PipelineItem>& items = Next().items;
    WorkRing::Submit(std::any_of(items.begin(), items.end(), [](const PipelineItem& item) {
        return item.kind == PipelineItem::Kind::kBlock && item.verdict.fault == PackageFault::kNone;
    }));
}

void BlockPipeline::Decode(PipelineSlot& slot, block_codec::Inflater& inflater) {
    for (PipelineItem& item : slot.items) {
        if (item.kind == PipelineItem::Kind::kBlock && item.verdict.fault == PackageFault::kNone) {
            item.verdict =
                DecodeBlock(inflater, slot.input.get() + item.inputAt, item.compressedSize,
                            item.uncompressedSize, slot.output.get() + item.outputAt);
        }
    }
}

uint32_t PipelinedBlocks::Threads(uint32_t jobs, uint64_t blocks) {
    if (blocks < 2) {
        return 1;  // nothing worth sharing
    }
    return std::min(jobs != 0 ? jobs : platform::ProcessorCount(), kMaxJobs);
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
        PipelineSlot& slot = ring_.Next();
        FillSlot(slot);
        if (slot.items.empty()) {
            return;  // the run ended with the slot before
        }
        ring_.Submit();
        peak_ = std::max(peak_, ring_.InFlight());
    }
}

void PipelinedBlocks::FillSlot(PipelineSlot& slot) {
    slot.items.clear();
    uint32_t inputAt = 0;
    uint32_t outputAt = 0;
    while (!stopped_ && slot.items.size() < kPipelineBatchItems) {
        if (item_ >= run_.size()) {
            stopped_ = true;
            return;
        }
        const EntryData& entry = run_[item_];
        if (!started_) {
            // Its local name joins the batch only with room for the largest block after it.
            if (inputAt + kPackageMaxNameLength >
                kPipelineInputBytes - kPackageMaxCompressedBlock) {
                return;
            }
            PipelineItem& item = slot.items.emplace_back();
            item.kind = PipelineItem::Kind::kEntryStart;
            position_ = entry.start;
            reader_.ReadAheadTo(entry.aheadEnd);
            PackageName name;
            if (ReadLocalName(reader_, entry.start, entry.nameLength, name)) {
                std::copy_n(name.text, name.length, slot.input.get() + inputAt);
                item.inputAt = inputAt;
                item.nameLength = name.length;
                inputAt += name.length;
            }
            if (entry.start < 0) {
                item.verdict.fault = PackageFault::kSeek;
                stopped_ = true;
            }
            started_ = true;
            block_ = 0;
            continue;
        }
        // A block joins the batch only with room for the largest block after what it holds.
        if (inputAt > kPipelineInputBytes - kPackageMaxCompressedBlock ||
            outputAt > kPipelineOutputBytes - kPackageWorkBufferSize) {
            return;
        }
        const PackageBlock& block = entry.blocks[block_];
        PipelineItem& item = slot.items.emplace_back();
        item.compressedSize = block.compressedSize;
        item.uncompressedSize = block.uncompressedSize;
        item.inputAt = inputAt;
        item.outputAt = outputAt;
        item.verdict = ReadBlock(reader_, &position_, block, slot.input.get() + inputAt);
        stopped_ = item.verdict.fault != PackageFault::kNone;
        inputAt += std::min(block.compressedSize, kPackageMaxCompressedBlock);
        outputAt += std::min(block.uncompressedSize, kPackageWorkBufferSize);
        if (++block_ == entry.blocks.size()) {
            ++item_;
            started_ = false;
        }
    }
}

const PipelineItem* PipelinedBlocks::Take() {
    if (holding_ != nullptr && ++taken_ < holding_->items.size()) {
        return &holding_->items[taken_];
    }
    if (holding_ != nullptr) {
        ring_.Release();
        holding_ = nullptr;
    }
    Feed();
    if (ring_.Empty()) {
        return nullptr;  // the reads stopped before this point: cannot happen after a success
    }
    holding_ = &ring_.Oldest();
    taken_ = 0;
    return &holding_->items[0];
}

int32_t PipelinedBlocks::NextEntry() {
    const PipelineItem* item = Take();
    const bool started = item != nullptr && item->kind == PipelineItem::Kind::kEntryStart;
    localNamed_ = started && item->nameLength > 0;
    if (localNamed_) {
        std::copy_n(holding_->input.get() + item->inputAt, item->nameLength, localName_.text);
        localName_.text[item->nameLength] = 0;
        localName_.length = item->nameLength;
    }
    return started && item->verdict.fault == PackageFault::kNone ? 0 : -1;
}

DecodedBlock PipelinedBlocks::NextBlock() {
    DecodedBlock decoded;
    const PipelineItem* item = Take();
    if (item == nullptr || item->kind != PipelineItem::Kind::kBlock) {
        decoded.fault = PackageFault::kShortRead;
        return decoded;
    }
    decoded.fault = item->verdict.fault;
    decoded.expected = item->verdict.expected;
    decoded.actual = item->verdict.actual;
    decoded.data = holding_->output.get() + item->outputAt;
    decoded.length = item->verdict.length;
    decoded.crc = item->verdict.crc;
    return decoded;
}
