// Entry checks without output, fault texts and the stored-name safety rule.
#include "package/verify.h"

#include "package/package_archive.h"
#include "platform/text.h"

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

namespace {

// Windows drops trailing dots and blanks from a path piece, so ". ." or "..." may still act as
// "..": any piece made of dots and blanks only with at least two dots is refused.
bool IsParentPiece(const char16_t* piece, uint32_t length) {
    uint32_t dots = 0;
    for (uint32_t i = 0; i < length; ++i) {
        if (piece[i] == u'.') {
            ++dots;
        } else if (piece[i] != u' ') {
            return false;
        }
    }
    return dots >= 2;
}

bool IsScratchPiece(const char16_t* piece, uint32_t length) {
    constexpr uint32_t kLength = sizeof kPackageScratchName / sizeof(char16_t) - 1;
    if (length != kLength) {
        return false;
    }
    for (uint32_t i = 0; i < length; ++i) {
        if (platform::FoldAscii(piece[i]) != kPackageScratchName[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool PackageNameIsSafe(const char16_t* name) {
    if (name[0] != 0 && name[1] == u':') {
        return false;  // drive prefix
    }
    uint32_t start = 0;
    for (uint32_t i = 0;; ++i) {
        const char16_t c = name[i];
        if (c == 0 || c == u'\\' || c == u'/') {
            if (IsParentPiece(name + start, i - start)) {
                return false;
            }
            if (c == 0) {
                return !IsScratchPiece(name + start, i - start);
            }
            start = i + 1;
        }
    }
}

int32_t PackageVerify(PackageArchive* archive, PackageEntry** entries, uint32_t count,
                      const char16_t* targetDirectory, ProgressProc progress,
                      PackageProblem* problem) {
    if (archive == nullptr) {
        if (problem != nullptr) {
            *problem = {PackageFault::kNotInCatalogue, kPackageNoEntry, 0, 0, 0};
        }
        return 0;
    }
    if (count == 0) {
        return 1;
    }
    archive->SetProgressCallback(progress);
    if (archive->VerifyEntries(entries, count, targetDirectory) == 0) {
        return 1;
    }
    if (problem != nullptr && !archive->LastProblem(problem)) {
        *problem = {PackageFault::kNotInCatalogue, kPackageNoEntry, 0, 0, 0};
    }
    return 0;
}

int32_t PackageLastProblem(PackageArchive* archive, PackageProblem* problem) {
    if (archive == nullptr) {
        return 0;
    }
    return archive->LastProblem(problem) ? 1 : 0;
}
