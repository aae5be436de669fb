// The package library's plain-function interface.
//
// Results: the plain functions return 1 for success and 0 for failure. The classes behind them
// (ArchiveFile, PackageArchive, PackageEntry) return 0 for success and -1 for failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

class PackageArchive;
class PackageEntry;

// One row of an entry's block table: one complete zlib stream in the entry's data.
struct PackageBlock {
    uint32_t uncompressedSize;
    uint32_t compressedSize;
    uint32_t reserved;
};

// What PackageGetEntryInfo tells about one entry.
struct PackageEntryInfo {
    uint32_t crc;
    uint32_t reserved;  // never written by the library
    uint32_t size;      // uncompressed total
    uint32_t compressedSize;
    char16_t name[260];
};

// Extraction progress: totalBytes, doneBytes (low word, high word), the current entry's stored
// name (wide, valid only during the call), entryBytes, entryDoneBytes (low, high) and 1 on the
// first call for an entry, else 0. All counts are compressed bytes of the package.
using ProgressProc = void (*)(uint32_t totalLow, uint32_t totalHigh, uint32_t doneLow,
                              uint32_t doneHigh, const char16_t* name, uint32_t entryLow,
                              uint32_t entryHigh, uint32_t entryDoneLow, uint32_t entryDoneHigh,
                              uint32_t firstBlock);

// Creates one directory; the result is ignored by extraction.
using MakeDirectoryProc = int32_t (*)(const char16_t* path);

int32_t PackageOpen(const char16_t* path, PackageArchive** archive, PackageEntry*** entries,
                    uint32_t* count, int32_t prefixed);
// PackageOpen over a package held in memory (fuzzers, tests, a package already read). The bytes
// are borrowed and must stay unchanged until PackageClose.
int32_t PackageOpenBytes(std::span<const uint8_t> bytes, PackageArchive** archive,
                         PackageEntry*** entries, uint32_t* count, int32_t prefixed);
int32_t PackageGetEntryInfo(PackageArchive* archive, PackageEntry* entry, PackageEntryInfo* info);
int32_t PackageExtract(PackageArchive* archive, PackageEntry** entries, uint32_t count,
                       const char16_t* targetDirectory, ProgressProc progress, int32_t closeFlag);
void PackageClose(PackageArchive* archive);

// Sets how many threads PackageExtract, PackageVerify and PackageScan decode with on this
// archive: 0 (the default) means one per processor, unless the blocks of a check are too small
// on average (under 4 KiB compressed) to gain from it; 1 decodes on the calling thread alone.
// Returns 1, or 0 for a missing archive.
int32_t PackageSetJobs(PackageArchive* archive, uint32_t jobs);

// The default MakeDirectoryProc: the platform's create-directory call.
int32_t MakeDirectory(const char16_t* path);

// The process-wide conversion hooks that PackageOpen installs (system default code page).
int32_t NarrowToWide(const char* source, char16_t* destination, int32_t capacity);
int32_t WideToNarrow(const char16_t* source, char* destination, int32_t capacity);

// Records whose layout callers rely on, and the callback's argument widths: on a 32-bit target
// (the device) every ProgressProc argument, the name pointer included, is one 32-bit word.
static_assert(sizeof(char16_t) == 2);
static_assert(sizeof(PackageBlock) == 12);
static_assert(sizeof(PackageEntryInfo) == 16 + 260 * 2);

namespace package_detail {
template <typename>
struct Arguments;
template <typename R, typename... A>
struct Arguments<R (*)(A...)> {
    static constexpr std::size_t count = sizeof...(A);
    static constexpr bool allWords = ((sizeof(A) == 4) && ...);
};
}  // namespace package_detail
static_assert(package_detail::Arguments<ProgressProc>::count == 10);
static_assert(sizeof(void*) != 4 || package_detail::Arguments<ProgressProc>::allWords,
              "on a 32-bit target every progress argument is one 32-bit word");
