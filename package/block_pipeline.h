// Decoding blocks on several threads while one thread writes them in order.
//
// The thread that extracts reads the compressed blocks of the entries it will process, in the
// order it processes them, into a fixed ring of slots; worker threads inflate and CRC the slots;
// the extracting thread takes them back oldest first and does everything observable itself
// (directories, files, progress calls, the first fault), exactly as a single thread would. It
// also inflates waiting slots whenever it would otherwise wait, so N jobs keep N threads busy.
// Memory is the ring: a fixed number of blocks in flight, whatever the package's size.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "package/verify.h"

class PackageArchive;

// The most blocks a multi-threaded run holds in memory at once, whatever the job count.
inline constexpr uint32_t kPipelineMaxSlots = 64;

// Sets how many threads PackageExtract and PackageVerify decode with on this archive: 0 (the
// default) means one per processor, unless the blocks of a call are too small on average (under
// 4 KiB compressed) to gain from it; 1 decodes on the calling thread alone. Returns 1, or 0 for a
// missing archive.
int32_t PackageSetJobs(PackageArchive* archive, uint32_t jobs);

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
    bool done = false;
};

class BlockPipeline {
  public:
    // `jobs` threads in all (the caller counts as one), `slots` blocks in flight. Throws
    // std::bad_alloc when the slots cannot be allocated; a worker that cannot be started only
    // leaves fewer of them.
    BlockPipeline(uint32_t jobs, uint32_t slots);
    ~BlockPipeline();
    BlockPipeline(const BlockPipeline&) = delete;
    BlockPipeline& operator=(const BlockPipeline&) = delete;

    bool Full() const { return tail_ - head_ == slots_.size(); }
    uint32_t InFlight() const { return static_cast<uint32_t>(tail_ - head_); }
    uint32_t Capacity() const { return static_cast<uint32_t>(slots_.size()); }
    bool Empty() const { return tail_ == head_; }
    // The slot to fill next; only while the ring is not full.
    PipelineSlot& Next() { return slots_[tail_ % slots_.size()]; }
    // Hands the filled slot over: a block without a fault is decoded, anything else is final.
    // Workers are woken by Publish, once for a batch of slots.
    void Submit();
    void Publish();
    // The oldest slot, once final (decoding waiting slots meanwhile); Release hands it back.
    PipelineSlot& Oldest();
    void Release();

    // Inflates a block slot to its verdict (also what the workers do).
    static void Decode(PipelineSlot& slot);

  private:
    void Work();
    void DecodeNext(std::unique_lock<std::mutex>& lock);

    std::vector<PipelineSlot> slots_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable workCv_;
    std::condition_variable doneCv_;
    bool stop_ = false;
    bool waiting_ = false;  // the calling thread waits for its oldest slot
    uint64_t head_ = 0;     // oldest slot not yet released
    uint64_t tail_ = 0;     // next slot to fill
    uint64_t next_ = 0;     // next slot for a thread to decode
};
