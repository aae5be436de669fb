#include "package/package_fault.h"

#include <cstdio>

namespace {

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

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
        case PackageFault::kOutOfMemory:
            return "out of memory";
    }
    return "unknown fault";
}

std::string PackageProblemText(const PackageProblem& problem) {
    std::string text = PackageFaultText(problem.fault);
    switch (problem.fault) {
        case PackageFault::kCrcMismatch:
            text += ": " + Hex(problem.actual) + " should be " + Hex(problem.expected);
            break;
        case PackageFault::kSizeMismatch:
        case PackageFault::kShortRead:
            text += " in block " + std::to_string(problem.block) + ": " +
                    std::to_string(problem.actual) + " bytes should be " +
                    std::to_string(problem.expected);
            break;
        case PackageFault::kInflate:
            text += " (block " + std::to_string(problem.block) + ")";
            break;
        case PackageFault::kPlanRefused:
            text += std::string(": ") + PlanFaultText(problem.plan);
            break;
        default:
            break;
    }
    return text;
}
