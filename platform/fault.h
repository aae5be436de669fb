// Fault injection for test runs, honoured by both implementations of the file services.
//
// A file system carries the faults a test run planned for it (FileSystem::PlanFaults); a file
// system made while another is bound shares that one's plan and count, so a whole run counts its
// writes once. Every write of file data that the platform makes (WriteStream) first asks
// WriteAllowed. Writes are counted from 1. Nothing is armed unless a host entry point (or a test)
// hands a plan over (FileSystem::PlanFaults, fault::Arm; fault_plan.cpp): the device program reads
// no plan from anywhere and, handing none, does not even link the check that counts the writes and
// cuts the power.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

struct FaultPlan {
    // The process ends at once at this write, before it happens, with no flush of any stream:
    // what a power loss at that moment leaves. 0: never.
    uint64_t cutAtWrite = 0;
    // This write fails (nothing of it is written); later ones succeed. 0: none.
    uint64_t failAtWrite = 0;
    // The shell's delete plays a user who cancels it in its progress window before anything is
    // deleted (POSIX host only).
    bool purgeAborted = false;
};

// The plan a host test run states in its environment: QZP_FAULT_CUT_AT_WRITE=N,
// QZP_FAULT_FAIL_AT_WRITE=N, QZP_FAULT_PURGE_ABORTED=1. For the host programs' entry points only.
FaultPlan FaultPlanFromEnvironment();

namespace fault {

inline constexpr int kPowerCutExitStatus = 86;

// Returns false when this write is to fail. Does not return when the power is to be cut. True,
// counting nothing, on a thread bound to no file system. Installed by the first plan.
bool BeforeWrite();

// The check every write asks: null until a plan is handed over.
extern std::atomic<bool (*)()> writeCheck;
inline bool WriteAllowed() {
    bool (*const check)() = writeCheck.load(std::memory_order_acquire);
    return check == nullptr || check();
}

// Number of writes the bound file system has seen since its plan was set.
uint64_t WriteCount();

// Tests: plans the faults of the bound file system from code (0 disarms) and resets its count.
void Arm(uint64_t cutAtWrite, uint64_t failAtWrite);

// True when the bound file system's plan has the shell's delete cancelled.
bool PurgeAborted();

}  // namespace fault
}  // namespace platform
