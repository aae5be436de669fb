// A fixed ring of slots that one thread fills and takes back in order, while worker threads
// process the filled ones in between: the block compression of the writer and the block decoding
// of extraction and verification.
//
// With N jobs, N - 1 workers process filled slots and the owning thread processes waiting ones
// itself whenever it would otherwise wait, so N jobs keep N threads busy; with one job each slot is
// processed on the owning thread when it is taken back. Whatever the number, slots come back in
// the order they were filled. Memory is the ring: a fixed number of slots in flight. Workers are
// started by the platform's thread function, so a port has one place to change.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/system.h"

template <typename Slot>
class WorkRing {
  public:
    // `jobs` threads in all (the owner counts as one), `slots` in flight; `process` turns a
    // submitted slot into its result on whichever thread takes it, told which thread that is (0
    // the owner, 1 .. jobs - 1 the workers), so each may keep its own tools. A worker that cannot
    // be started only leaves fewer of them.
    WorkRing(uint32_t jobs, std::size_t slots, std::function<void(Slot&, uint32_t)> process)
        : slots_(slots), done_(slots, 0), process_(std::move(process)) {
        for (uint32_t i = 1; i < jobs; ++i) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++workers_;
            }
            const platform::Handle worker = platform::CreateThread(&Worker, this);
            if (worker == nullptr) {
                std::lock_guard<std::mutex> lock(mutex_);
                --workers_;
                break;  // fewer workers: the owning thread processes what they leave
            }
            platform::CloseHandle(worker);
        }
    }

    // Waits until every worker has left Work: they touch the ring no more.
    ~WorkRing() {
        std::unique_lock<std::mutex> lock(mutex_);
        stop_ = true;
        workCv_.notify_all();
        doneCv_.wait(lock, [this] { return workers_ == 0; });
    }

    WorkRing(const WorkRing&) = delete;
    WorkRing& operator=(const WorkRing&) = delete;

    bool Full() const { return tail_ - head_ == slots_.size(); }
    bool Empty() const { return tail_ == head_; }
    uint32_t InFlight() const { return static_cast<uint32_t>(tail_ - head_); }
    uint32_t Capacity() const { return static_cast<uint32_t>(slots_.size()); }
    // Every slot, to set them up before the first is filled.
    std::vector<Slot>& Slots() { return slots_; }
    // The slot to fill next; only while the ring is not full.
    Slot& Next() { return slots_[tail_ % slots_.size()]; }

    // Hands the filled slot over: to be processed, or (`work` false) final as it is. Workers are
    // woken by Publish, once for a batch of slots.
    void Submit(bool work) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_[tail_ % slots_.size()] = work ? 0 : 1;
        ++tail_;
    }

    void Publish() {
        bool work = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            work = next_ < tail_;
        }
        if (work) {
            workCv_.notify_all();
        }
    }

    // The oldest slot, once final (processing waiting slots meanwhile); Release hands it back.
    Slot& Oldest() {
        const std::size_t at = head_ % slots_.size();
        std::unique_lock<std::mutex> lock(mutex_);
        while (done_[at] == 0) {
            if (next_ < tail_) {
                ProcessNext(lock, 0);
            } else {
                waiting_ = true;
                doneCv_.wait(lock);
                waiting_ = false;
            }
        }
        return slots_[at];
    }

    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++head_;
        if (next_ < head_) {
            next_ = head_;
        }
    }

  private:
    static uint32_t Worker(void* ring) {
        static_cast<WorkRing*>(ring)->Work();
        return 0;
    }

    // Runs until the ring stops, then counts itself out (the last thing it does with the ring).
    void Work() {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint32_t thread = ++joined_;
        for (;;) {
            workCv_.wait(lock, [this] { return stop_ || next_ < tail_; });
            if (stop_) {
                --workers_;
                doneCv_.notify_all();
                return;
            }
            ProcessNext(lock, thread);
        }
    }

    // Takes the next slot no thread has looked at and processes it, unlocked meanwhile.
    void ProcessNext(std::unique_lock<std::mutex>& lock, uint32_t thread) {
        const std::size_t at = next_ % slots_.size();
        ++next_;
        if (done_[at] != 0) {
            return;
        }
        lock.unlock();
        process_(slots_[at], thread);
        lock.lock();
        done_[at] = 1;
        if (waiting_) {
            doneCv_.notify_one();
        }
    }

    std::vector<Slot> slots_;
    std::vector<char> done_;  // per slot: final; read and written under mutex_
    std::function<void(Slot&, uint32_t)> process_;
    std::mutex mutex_;
    std::condition_variable workCv_;
    std::condition_variable doneCv_;
    uint32_t workers_ = 0;  // started and not yet counted out of Work
    uint32_t joined_ = 0;   // workers that have entered Work: the last one's thread number
    bool stop_ = false;
    bool waiting_ = false;  // the owning thread waits for its oldest slot
    uint64_t head_ = 0;     // oldest slot not yet released
    uint64_t tail_ = 0;     // next slot to fill
    uint64_t next_ = 0;     // next slot for a thread to process
};
