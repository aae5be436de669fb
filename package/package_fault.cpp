#include "package/package_fault.h"

const char* PackageFaultText(PackageFault fault) {
    switch (fault) {
        case PackageFault::kNone:
            return "no fault";
        case PackageFault::kNotInCatalogue:
            return "entry not in the catalogue";
        case PackageFault::kUnsafeName:
            return "unsafe entry name";
        case PackageFault::kPathTooLong:
            return "path too long";
        case PackageFault::kSeek:
            return "cannot seek to the entry data";
        case PackageFault::kShortRead:
            return "short read of a block";
        case PackageFault::kInflate:
            return "block does not inflate";
        case PackageFault::kSizeMismatch:
            return "block size mismatch";
        case PackageFault::kCrcMismatch:
            return "CRC-32 mismatch";
        case PackageFault::kOpenOutput:
            return "cannot create the output file";
        case PackageFault::kShortWrite:
            return "short write";
        case PackageFault::kNoTarget:
            return "no target directory";
        case PackageFault::kPlanRefused:
            return "entry cannot be written as planned";
    }
    return "unknown fault";
}
