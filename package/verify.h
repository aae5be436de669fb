// Checking entries without writing them, and the reason an extraction or a check failed.
//
// Results: PackageVerify and PackageLastProblem return 1 for success / "filled" and 0 otherwise.
#pragma once

#include <cstdint>

#include "package/package.h"

enum class PackageFault : uint8_t {
    kNone,
    kNotInCatalogue,  // an entry pointer that is not in this archive's catalogue
    kUnsafeName,      // a `..` piece or a drive prefix: the entry would leave the target
    kPathTooLong,     // target directory + name do not fit 259 units
    kSeek,            // the package cannot be positioned at the entry's data
    kShortRead,       // fewer compressed bytes than the block table says
    kInflate,         // zlib refused the block (also: more than 65,535 bytes once inflated)
    kSizeMismatch,    // the block inflated to another size than the table says
    kCrcMismatch,     // CRC-32 of the entry's data differs from the stored one
    kOpenOutput,      // the output file cannot be created
    kShortWrite,      // the output file did not take every byte
    kNoTarget,        // no target directory given and the package names none
    // The extraction plan refuses the entry (install_plan.h); `expected` holds the PlanFault.
    kPlanRefused,
};

struct PackageProblem {
    PackageFault fault;
    uint32_t entryIndex;  // catalogue index, or 0xFFFF when the entry is not in the catalogue
    uint32_t block;       // block index within the entry (0 when no block is involved)
    uint64_t expected;    // what the package says (size, CRC, ...); 0 when not applicable
    uint64_t actual;      // what was found
};

// A short English description of the fault, e.g. "CRC-32 mismatch".
const char* PackageFaultText(PackageFault fault);

// Checks entries without writing anything: every block is read, inflated to exactly its
// uncompressedSize, and each file's CRC-32 compared. Before that the entries' extraction plan is
// decided with the manifest rules (install_plan.h): with a target directory against the tree
// under it as it is now, so that an extraction into that directory cannot fail on a name after
// the check passed; with a null target on the names alone. `progress` may be null
// (otherwise called like extraction's, after every block). Stops at the first damaged entry. A
// count of 0 checks nothing and succeeds. Returns 1 when all are good, else 0 and fills *problem
// (may be null).
int32_t PackageVerify(PackageArchive* archive, PackageEntry** entries, uint32_t count,
                      const char16_t* targetDirectory, ProgressProc progress,
                      PackageProblem* problem);

// Why the last PackageExtract / PackageVerify on this archive failed: 1 and *problem filled, or 0
// when it did not fail or gave no reason (a count of 0).
int32_t PackageLastProblem(PackageArchive* archive, PackageProblem* problem);

// True when extraction may write a wide stored name: it stays inside the target directory (no
// piece, split at `\` and `/`, is `..` or dots and blanks that Windows would reduce to `..`; no
// drive prefix `X:`), and its last piece is not, in any letter case, the scratch name
// kPackageScratchName that extraction uses beside a file it replaces.
bool PackageNameIsSafe(const char16_t* name);

// The scratch file that replaces an existing file goes beside it under this name.
inline constexpr char16_t kPackageScratchName[] = u"~qzpnew.tmp";
