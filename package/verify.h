// Checking entries without writing them, and the reason an extraction or a check failed.
//
// Results: PackageVerify and PackageLastProblem return 1 for success / "filled" and 0 otherwise.
#pragma once

#include <cstdint>

#include "package/package.h"
#include "package/package_fault.h"

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

// Why the last PackageExtract / PackageVerify / PackageScan on this archive failed: 1 and *problem
// filled, or 0 when it did not fail or gave no reason (a count of 0).
int32_t PackageLastProblem(PackageArchive* archive, PackageProblem* problem);

// True when the name rule (name_rules.h) accepts `name` as a stored name, a directory's one
// trailing `\` included: it stays inside the target directory and the device can create it.
bool PackageNameIsSafe(const char16_t* name);
