// Why the extraction plan (install_plan.h) refuses an entry.
#pragma once

#include <cstdint>

enum class PlanFault : uint8_t {
    kNone,
    kTooManyEntries,       // more than 65,535 entries
    kNameNotText,          // the stored name does not convert into 259 wide units
    kEmptyName,            // empty, or separators only
    kEmptyLevel,           // an empty level inside the name, or a file name ending with one
    kDotLevel,             // a level `.` or `..` (or dots and blanks that Windows reduces to one)
    kReservedName,         // a drive prefix, or levels that leave extraction no scratch base
    kBadLevel,             // a level the device cannot create (characters, trailing dot, COM1)
    kPathTooLong,          // target directory + name over 259 units
    kTargetMissing,        // the target directory does not exist
    kSamePath,             // resolves to the same path as an earlier entry
    kFileInTheWay,         // a file stands where a directory is needed
    kDirectoryInTheWay,    // a directory stands where the file goes
    kParentMissing,        // the parent directory would not exist when the entry is written
    kLinkInTheWay,         // a link, FIFO or device in the tree where the entry or a parent goes
    kManifestIsDirectory,  // the manifest is stored as a directory entry
    kSecondManifest,       // another entry resolving to the manifest's name
    kManifestMisspelt,     // lands on the manifest's path but is not named like it (`/`, `\\`)
};

// A short English description, e.g. "another entry resolves to the same path".
const char* PlanFaultText(PlanFault fault);
