// One pass over an open package: every byte of the file to a reader (a signature's hash) and, in
// the same pass, every entry read, inflated and CRC-checked, so an install reads the card once to
// check the package and once more to extract it.
//
// Bytes read from the file (PackageBytesRead), for a file of S bytes whose tail (directory, END
// record, comment and its length) is T bytes and whose directory holds N records: the open reads
// the fixed 26 bytes of each record (R = 26N, at most T) and then the tail once (kept in the
// catalogue); a scan reads the other S - T bytes, passes the tail on from memory and reads 1 byte
// more to see that the file still ends there. An extraction reads the data of its entries, reading
// ahead only through the local records between entries that follow each other both in its list and
// in the file, so an extraction of every entry, in any order, reads at most S - T - D0, where D0 is
// the first entry's data position. Open, scan and a full extraction thus read at most 2S - T + R +
// 1 - D0 (below 2S, as R <= T and D0 > 1); the installer's extraction of the manifest alone before
// it adds at most the manifest's compressed size.
//
// Results: PackageScan returns 1 or 0 like the other plain functions.
#pragma once

#include <cstdint>
#include <vector>

#include "package/package.h"
#include "package/package_contents.h"
#include "package/package_entry.h"
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
    // Called once every entry is checked, before the tail goes by: a feed that is then told the
    // names of the directory's records as the tail is read (a plan made in the same pass), or
    // null. Only where the catalogue left the names in the package (the tail is read from there
    // then), each name checked against the catalogue's. *tailNamed says whether every record's
    // name was told; a feed that throws std::bad_alloc is told no more.
    CatalogueNameFeed* (*tailNames)(void* context) = nullptr;
    void* tailNamesContext = nullptr;
    bool* tailNamed = nullptr;
    // The archive's last scan: what the open kept of the tail for scans is freed
    // when this one ends, whatever its outcome. A later scan of the archive fails with
    // kNotInCatalogue (entry 0xFFFF).
    bool last = false;
};

// Reads the package file once, front to back, and in the same pass reads, inflates and CRC-checks
// every entry of the catalogue in catalogue order, as PackageVerify(archive, all entries, count,
// nullptr, ...) does but without its name and plan checks (the caller plans separately). Decodes
// with the archive's jobs (PackageSetJobs) like a verification. Stops at the first damaged entry
// (`contents` may then have had bytes beyond it: blocks are read ahead of their check).
// Returns 1 when every byte went to `contents` and every entry is whole; 0 otherwise with
// *problem filled (may be null): the first damaged entry's fault as PackageVerify reports it;
// fault kNone when `contents` asked to stop; kShortRead (entry 0xFFFF) when the file has become
// shorter than at the open and kSizeMismatch (entry 0xFFFF) when it has become longer, and
// kNotInCatalogue for a missing archive or one whose last scan has run. After any other failure
// the archive's last problem (PackageLastProblem) is the same: a stream that could not take its
// buffer reads as out of memory there too, not as the block it left short. *kept holds the kept
// entry's bytes only after a success; it is emptied first.
int32_t PackageScan(PackageArchive* archive, const PackageScanHooks& hooks,
                    PackageProblem* problem);

// Hands every byte that later scans of `archive` read to `proc` as well, beside the scan's own
// `contents` reader: a tool's checksum or signature of a package that the device's session scans
// (null: nobody). `proc` returning -1 stops the scan like `contents`. Returns 1, or 0 for a
// missing archive.
int32_t PackageSetScanTap(PackageArchive* archive, PackageContentsProc proc, void* context);

// Bytes that arrived from the package file since it was opened, the open's reads and the file
// source's read-ahead included (for a package held in memory: bytes copied out of it): the
// measure of how often an install reads the card.
uint64_t PackageBytesRead(PackageArchive* archive);
