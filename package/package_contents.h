// Reading a whole open package, byte for byte, through the source its entries are extracted
// from. A check of the file (a signature) made this way covers exactly the bytes that the
// extraction reads afterwards, even if the file on the card is replaced in between.
//
// Results: 1 success, 0 failure.
#pragma once

#include <cstdint>
#include <string>

#include "package/package.h"

// Receives the file's bytes in order; returns 0 to go on, -1 to stop.
using PackageContentsProc = int32_t (*)(void* context, const uint8_t* data, uint32_t size);

// Hands every byte of the open package, from the first, to `proc`; extraction is not disturbed.
// Returns 1 when the whole file (the length measured when it was opened) went to
// `proc`; 0 for a null archive, a read or positioning failure, a file that has become shorter or
// longer, or a stop requested by `proc`.
int32_t PackageReadContents(PackageArchive* archive, PackageContentsProc proc, void* context);

// One catalogue entry as its directory record stores it, for listings.
struct PackageEntryRecord {
    std::string storedName;  // every stored byte of the name, NULs included
    uint32_t crc = 0;
    uint32_t size = 0;  // uncompressed total
    uint32_t compressedSize = 0;
    uint32_t blocks = 0;
    bool directory = false;  // an entry without compressed bytes
};

// Fills *record for `entry`: 1, or 0 for a null argument or an entry not in the catalogue.
int32_t PackageGetEntryRecord(PackageArchive* archive, PackageEntry* entry,
                              PackageEntryRecord* record);

// The compressed bytes of `count` entries together (their data without local records), for a
// progress total: read from the catalogue alone, no name read. Entries not in the catalogue
// count 0.
uint64_t PackagePackedBytes(PackageArchive* archive, PackageEntry* const* entries, uint32_t count);

// The package's comment (its default target directory) as stored, up to its first NUL: 1, or 0
// for a null archive or comment.
int32_t PackageGetComment(PackageArchive* archive, std::string* comment);
