// Entry checks without output.
#include "package/verify.h"

#include "package/extract.h"
#include "package/name_rules.h"
#include "package/package_archive.h"

bool PackageNameIsSafe(const char16_t* name) {
    return CheckEntryName(name, true) == NameFault::kNone;
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
    PlainProgress plain(progress);
    if (EntryRun(*archive, plain.progress()).Verify(entries, count, targetDirectory) == 0) {
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
