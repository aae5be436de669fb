// Extraction with a context pointer for its progress function: the form the library's own
// callers use, so that whatever shows the progress is reached through the context instead of a
// global. PackageExtract is the plain front door over the same extraction.
#pragma once

#include <cstdint>

#include "package/package.h"

// Called after every block: the compressed byte counters of the whole call and of the current
// entry, the entry's stored name (wide, valid only during the call) and whether the block is the
// entry's first.
struct PackageProgress {
    void (*report)(void* context, uint64_t totalBytes, uint64_t doneBytes, const char16_t* name,
                   uint64_t entryBytes, uint64_t entryDoneBytes, bool firstBlock) = nullptr;
    void* context = nullptr;
};

// PackageExtract with `progress` (its report may be null). Returns 1 or 0 like PackageExtract.
int32_t PackageExtractWith(PackageArchive* archive, PackageEntry* const* entries, uint32_t count,
                           const char16_t* targetDirectory, const PackageProgress& progress,
                           int32_t closeFlag);

// Unpacking into a host folder that stands for the device folder `folder` (e.g.
// u"\\ResidentFlash2\\"): the device's path limit of 259 units is then checked on `folder`
// joined with each stored name, as the device would count it, instead of on the host target,
// which may be as long as the host allows. Null restores the default (the target counts).
// Returns 1, or 0 for a missing archive.
int32_t PackageSetLimitFolder(PackageArchive* archive, const char16_t* folder);
