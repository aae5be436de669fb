// The decoding ring and the archive's multi-threaded run: the extracting thread reads ahead into
// the ring and takes the decoded blocks back in order.
#include "package/block_pipeline.h"

#include <algorithm>
#include <new>

#include "package/block_codec.h"
#include "package/package_archive.h"

namespace {

// More threads than this only cost memory.
constexpr uint32_t kMaxJobs = 64;
// Blocks in flight per thread, and in all: enough to keep every thread busy across the small
// files the writing thread spends its time opening, and to wake the workers once for dozens of
// small blocks rather than a few; few enough to stay a few megabytes.
constexpr uint32_t kSlotsPerJob = 32;
// Below this average compressed size, inflating a block costs less than handing it to another
// thread and back: a verification of small files is then faster on the calling thread alone.
// Extraction shares them all the same, since its thread has the files to create meanwhile.
constexpr uint64_t kSharedBlockBytes = 4096;

}  // namespace

int32_t PackageSetJobs(PackageArchive* archive, uint32_t jobs) {
    if (archive == nullptr) {
        return 0;
    }
    archive->SetJobs(jobs);
    return 1;
}

BlockPipeline::BlockPipeline(uint32_t jobs, uint32_t slots)
    : WorkRing(jobs, slots, &BlockPipeline::Decode) {
    for (PipelineSlot& slot : Slots()) {
        slot.input.reset(new uint8_t[kPackageMaxCompressedBlock]);
        slot.output.reset(new uint8_t[kPackageWorkBufferSize]);
    }
}

BlockVerdict DecodeBlock(const uint8_t* input, uint32_t compressedSize, uint32_t uncompressedSize,
                         uint8_t* output) {
    BlockVerdict verdict;
    if (!block_codec::Inflate(input, compressedSize, output, kPackageWorkBufferSize,
                              &verdict.length)) {
        verdict.fault = PackageFault::kInflate;
        verdict.expected = uncompressedSize;
        return verdict;
    }
    if (verdict.length != uncompressedSize) {
        verdict.fault = PackageFault::kSizeMismatch;
        verdict.expected = uncompressedSize;
        verdict.actual = verdict.length;
        return verdict;
    }
    verdict.crc = block_codec::Crc32(0, output, verdict.length);
    return verdict;
}

void BlockPipeline::Decode(PipelineSlot& slot) {
    const BlockVerdict verdict = DecodeBlock(slot.input.get(), slot.compressedSize,
                                             slot.uncompressedSize, slot.output.get());
    slot.fault = verdict.fault;
    slot.expected = verdict.expected;
    slot.actual = verdict.actual;
    slot.length = verdict.length;
    slot.crc = verdict.crc;
}

// --- The archive's side ---------------------------------------------------------------------

void PackageArchive::StartPipeline(PackageEntry* const* entries, uint32_t count, bool write,
                                   uint64_t blocks) {
    pipeline_.reset();
    peakBlocksInFlight_ = 0;
    uint32_t jobs = jobs_ != 0 ? jobs_ : std::max(1u, std::thread::hardware_concurrency());
    jobs = std::min(jobs, kMaxJobs);
    if (jobs <= 1 || blocks < 2 ||
        (jobs_ == 0 && !write && totalBytes_ < blocks * kSharedBlockBytes)) {
        return;  // nothing worth sharing: the calling thread alone
    }
    try {
        pipeline_ = std::make_unique<BlockPipeline>(
            jobs, std::min(kPipelineMaxSlots, std::max(2u, jobs) * kSlotsPerJob));
    } catch (const std::bad_alloc&) {
        pipeline_.reset();  // no memory for the ring: decode on this thread alone
        return;
    }
    feedEntries_ = entries;
    feedCount_ = count;
    feedItem_ = 0;
    feedStarted_ = false;
    feedBlock_ = 0;
    feedStopped_ = false;
    feedSeeksBack_ = write && prefixed_;
    lastSeekBackOk_ = true;
}

void PackageArchive::StopPipeline() {
    pipeline_.reset();
}

void PackageArchive::FeedPipeline() {
    // Refilled half a ring at a time, so that workers wake for batches of blocks: many small
    // files would otherwise cost a wake-up per block.
    if (!pipeline_->Empty() && pipeline_->InFlight() > pipeline_->Capacity() / 2) {
        return;
    }
    FillPipeline();
    pipeline_->Publish();
}

// Reads ahead into every free slot of the ring: the data of the file entries in the order they
// will be processed, with the same positioning and reads a single thread makes. Stops for good at
// the first seek or read that fails, since processing stops there at the latest.
void PackageArchive::FillPipeline() {
    while (!feedStopped_ && !pipeline_->Full()) {
        if (feedItem_ >= feedCount_) {
            feedStopped_ = true;
            return;
        }
        const uint16_t index = FindEntryIndex(feedEntries_[feedItem_]);
        if (index == kPackageNoEntry || entries_[index].IsDirectory()) {
            ++feedItem_;
            continue;
        }
        const PackageEntry& entry = entries_[index];
        PipelineSlot& slot = pipeline_->Next();
        slot.fault = PackageFault::kNone;
        slot.block = 0;
        slot.expected = 0;
        slot.actual = 0;
        slot.seekBackOk = true;
        if (!feedStarted_) {
            slot.kind = PipelineSlot::Kind::kEntryStart;
            int32_t offset = 0;
            if (SeekToDataOf(index, &offset) != 0) {
                slot.fault = PackageFault::kSeek;
                feedStopped_ = true;
            }
            feedStarted_ = true;
            feedBlock_ = 0;
            pipeline_->Submit();
            continue;
        }
        const std::span<const PackageBlock> blocks = entry.blocks();
        const PackageBlock& block = blocks[feedBlock_];
        slot.kind = PipelineSlot::Kind::kBlock;
        slot.block = feedBlock_;
        slot.compressedSize = block.compressedSize;
        slot.uncompressedSize = block.uncompressedSize;
        slot.length = 0;
        slot.crc = 0;
        if (block.compressedSize > kPackageMaxCompressedBlock) {
            slot.fault = PackageFault::kShortRead;
            slot.expected = block.compressedSize;
            slot.actual = kPackageMaxCompressedBlock;
            feedStopped_ = true;
        } else if (const uint32_t got = Read(slot.input.get(), block.compressedSize);
                   got < block.compressedSize) {
            slot.fault = PackageFault::kShortRead;
            slot.expected = block.compressedSize;
            slot.actual = got;
            feedStopped_ = true;
        }
        if (++feedBlock_ == blocks.size()) {
            if (!feedStopped_ && feedSeeksBack_) {
                // As a single thread does after a complete entry of a prefixed package.
                slot.seekBackOk = SeekTo(endRecordPosition_) == 0;
                feedStopped_ = !slot.seekBackOk;
            }
            ++feedItem_;
            feedStarted_ = false;
        }
        pipeline_->Submit();
        peakBlocksInFlight_ = std::max(peakBlocksInFlight_, pipeline_->InFlight());
    }
}

PipelineSlot* PackageArchive::TakeSlot() {
    FeedPipeline();
    if (pipeline_->Empty()) {
        return nullptr;  // the reads stopped before this entry: cannot happen after a success
    }
    return &pipeline_->Oldest();
}

int32_t PackageArchive::EnterEntryData() {
    if (pipeline_ == nullptr) {
        int32_t offset = 0;
        return SeekToEntryData(&offset);
    }
    PipelineSlot* slot = TakeSlot();
    const bool ok = slot != nullptr && slot->kind == PipelineSlot::Kind::kEntryStart &&
                    slot->fault == PackageFault::kNone;
    if (slot != nullptr) {
        pipeline_->Release();
    }
    return ok ? 0 : -1;
}

int32_t PackageArchive::LeaveEntryData() {
    if (pipeline_ != nullptr) {
        return lastSeekBackOk_ ? 0 : -1;
    }
    if (prefixed_) {
        return SeekTo(endRecordPosition_);
    }
    return 0;
}

int32_t PackageArchive::ProcessPipelinedData(ArchiveFile* output, std::vector<uint8_t>* keep) {
    const PackageEntry& entry = entries_[currentIndex_];
    const std::span<const PackageBlock> blocks = entry.blocks();
    uint32_t crc = 0;
    uint32_t firstBlock = 1;
    for (uint32_t j = 0; j < blocks.size(); ++j) {
        PipelineSlot* slot = TakeSlot();
        if (slot == nullptr || slot->kind != PipelineSlot::Kind::kBlock || slot->block != j) {
            if (slot != nullptr) {
                pipeline_->Release();
            }
            return Fail(PackageFault::kShortRead, j, blocks[j].compressedSize, 0);
        }
        if (slot->fault != PackageFault::kNone) {
            const PipelineSlot& failed = *slot;
            const int32_t result = Fail(failed.fault, j, failed.expected, failed.actual);
            pipeline_->Release();
            return result;
        }
        crc = block_codec::Crc32Combine(crc, slot->crc, slot->length);
        workLength_ = slot->length;
        lastSeekBackOk_ = slot->seekBackOk;
        const bool written =
            output == nullptr || output->Write(slot->output.get(), workLength_) == 0;
        if (keep != nullptr) {
            keep->insert(keep->end(), slot->output.get(), slot->output.get() + workLength_);
        }
        pipeline_->Release();
        if (!written) {
            return Fail(PackageFault::kShortWrite, j, workLength_, 0);
        }
        ReportBlockDone(entry, blocks[j].compressedSize, firstBlock);
    }
    if (crc != entry.crc()) {
        return Fail(PackageFault::kCrcMismatch, static_cast<uint32_t>(blocks.size()), entry.crc(),
                    crc);
    }
    return 0;
}
