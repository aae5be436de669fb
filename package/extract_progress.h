// The callbacks of an extraction: its progress, in the plain form of the library's interface and
// in the form with a context pointer that the library's own callers use (so that whatever shows
// the progress is reached through the context instead of a global), and its directory creation.
#pragma once

#include <cstddef>
#include <cstdint>

// Extraction progress: totalBytes, doneBytes (low word, high word), the current entry's stored
// name (wide, valid only during the call), entryBytes, entryDoneBytes (low, high) and 1 on the
// first call for an entry, else 0. All counts are compressed bytes of the package.
using ProgressProc = void (*)(uint32_t totalLow, uint32_t totalHigh, uint32_t doneLow,
                              uint32_t doneHigh, const char16_t* name, uint32_t entryLow,
                              uint32_t entryHigh, uint32_t entryDoneLow, uint32_t entryDoneHigh,
                              uint32_t firstBlock);

// Creates one directory; the result is ignored by extraction.
using MakeDirectoryProc = int32_t (*)(const char16_t* path);

// Called after every block: the compressed byte counters of the whole call and of the current
// entry, the entry's stored name (wide, valid only during the call) and whether the block is the
// entry's first.
struct PackageProgress {
    void (*report)(void* context, uint64_t totalBytes, uint64_t doneBytes, const char16_t* name,
                   uint64_t entryBytes, uint64_t entryDoneBytes, bool firstBlock) = nullptr;
    void* context = nullptr;
};

// A plain progress function in the context form. It must outlive the runs it reports to.
class PlainProgress {
  public:
    explicit PlainProgress(ProgressProc proc) : proc_(proc) {}
    // Reports to the plain function; no report for a null one.
    PackageProgress progress();

  private:
    static void Report(void* context, uint64_t totalBytes, uint64_t doneBytes, const char16_t* name,
                       uint64_t entryBytes, uint64_t entryDoneBytes, bool firstBlock);
    ProgressProc proc_;
};

// The callback's argument widths: on a 32-bit target (the device) every ProgressProc argument,
// the name pointer included, is one 32-bit word.
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
