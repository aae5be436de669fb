// Write-fault injection for tests, honoured by both implementations of the file services.
//
// Every write of file data that the platform makes (WriteStream, each block of CopyFileTo) first
// asks BeforeWrite. Writes are counted from 1 over the whole process. Two faults can be armed,
// from code or from the environment (read once, at the first write):
//   QZP_FAULT_CUT_AT_WRITE=N   the process ends at once at the Nth write, before it happens, with
//                              no flush of any stream: what a power loss at that moment leaves.
//   QZP_FAULT_FAIL_AT_WRITE=N  the Nth write fails (nothing of it is written); later ones succeed.
#pragma once

#include <cstdint>

namespace platform::fault {

inline constexpr int kPowerCutExitStatus = 86;

// Returns false when this write is to fail. Does not return when the power is to be cut.
bool BeforeWrite();

// Number of writes seen so far.
uint64_t WriteCount();

// Arms the faults from code (0 disarms) and resets the counter.
void Arm(uint64_t cutAtWrite, uint64_t failAtWrite);

}  // namespace platform::fault
