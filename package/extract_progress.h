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
