// One pass over an open package: every byte of the file to a reader (a signature's hash) and, in
// the same pass, every entry read, inflated and CRC-checked, so an install reads the card once to
// check the package and once more to extract it.
//
// Bytes read from the source: the open reads the trailer, the END record and the directory; a
// scan reads the whole file once more (exactly its size); an extraction reads the compressed
// data of the entries it writes, once each. Open, scan and a full extraction together therefore
// read at most 2.0 x the file size plus the open's read of directory, END record and trailer
// (exactly size + data + that, where data is the package's compressed bytes).
//
// Results: PackageScan returns 1 or 0 like the other plain functions.
#pragma once

#include <cstdint>
#include <vector>

#include "package/package.h"
#include "package/package_contents.h"
#include "package/package_fault.h"

inline constexpr uint32_t kPackageScanKeepNone = 0xFFFFFFFFu;

struct PackageScanHooks {
    // Receives every byte of the package file, from the first to the last, in order (a
    // signature's hash). Null: nobody. Returns 0 to go on, -1 to stop the scan.
    PackageContentsProc contents = nullptr;
    void* contentsContext = nullptr;
    // The catalogue index of one entry whose inflated contents are kept in *kept (the manifest),
    // or kPackageScanKeepNone. An entry larger than keepLimit bytes is not kept (kept stays empty
    // and keptTooLarge is set) but still checked.
    uint32_t keepEntry = kPackageScanKeepNone;
    uint32_t keepLimit = 1024 * 1024;
    std::vector<uint8_t>* kept = nullptr;
    bool* keptTooLarge = nullptr;
};

// Reads the package file once, front to back, and in the same pass reads, inflates and CRC-checks
// every entry of the catalogue in catalogue order, as PackageVerify(archive, all entries, count,
// nullptr, ...) does but without its name and plan checks (the caller plans separately). Decodes
// with the archive's jobs (PackageSetJobs) like a verification. Stops at the first damaged entry
// (`contents` may then have had bytes beyond it: blocks are read ahead of their check).
// Returns 1 when every byte went to `contents` and every entry is whole; 0 otherwise with
// *problem filled (may be null): the first damaged entry's fault as PackageVerify reports it;
// fault kNone when `contents` asked to stop; kShortRead (entry 0xFFFF) when the file has become
// shorter than at the open and kSizeMismatch (entry 0xFFFF) when it has become longer. *kept
// holds the kept entry's bytes only after a success; it is emptied first.
int32_t PackageScan(PackageArchive* archive, const PackageScanHooks& hooks,
                    PackageProblem* problem);

// Bytes read from the package's source since it was opened (the open's own reads included):
// the measure of how often an install reads the card.
uint64_t PackageBytesRead(PackageArchive* archive);
