// Why an extraction, a check or a scan of a package failed: the fault, the entry and block, and
// the two figures that disagree.
#pragma once

#include <cstdint>
#include <string>

#include "package/plan_fault.h"

enum class PackageFault : uint8_t {
    kNone,
    kNotInCatalogue,  // an entry pointer that is not in this archive's catalogue
    kUnsafeName,      // the name rule (name_rules.h) refuses the stored name
    kPathTooLong,     // target directory + name do not fit 259 units
    kSeek,            // the package cannot be positioned at the entry's data
    kShortRead,       // fewer compressed bytes than the block table says
    kInflate,         // zlib refused the block (also: more than 65,535 bytes once inflated)
    kSizeMismatch,    // the block inflated to another size than the table says
    kCrcMismatch,     // CRC-32 of the entry's data differs from the stored one
    kOpenOutput,      // the output file cannot be created
    kShortWrite,      // the output file did not take every byte
    kNoTarget,        // no target directory given and the package names none
    kPlanRefused,     // the extraction plan refuses the entry (PackageProblem::plan says why)
    kOutOfMemory,     // memory for the run's buffers, names or threads ran out
};

struct PackageProblem {
    PackageFault fault;
    uint32_t entryIndex;  // catalogue index, or 0xFFFF when the entry is not in the catalogue
    uint32_t block;       // block index within the entry (0 when no block is involved)
    uint64_t expected;    // what the package says (size, CRC, ...); 0 when not applicable
    uint64_t actual;      // what was found
    PlanFault plan = PlanFault::kNone;  // kPlanRefused: the plan's reason
};

// A short English description of the fault, e.g. "CRC-32 mismatch".
const char* PackageFaultText(PackageFault fault);

// The problem in words with the figures that locate it, without the entry's name: "CRC-32
// mismatch: 0x12345678 should be 0x9abcdef0", "block size mismatch in block 2: 100 bytes should be
// 16384", "block does not inflate (block 3)", "entry cannot be written as planned: REASON".
std::string PackageProblemText(const PackageProblem& problem);
