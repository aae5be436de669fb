// One catalogue entry of an open package: the fields of its directory record, its stored name and
// its block table. Entries are created and owned by their PackageArchive and identified by
// pointer; they stay valid until PackageClose.
//
// The name and the block rows live in tables owned by the archive (one flat block table for the
// whole package); an entry refers to its part of them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "package/layout.h"

// One row of an entry's block table: one complete zlib stream in the entry's data.
struct PackageBlock {
    uint32_t uncompressedSize;
    uint32_t compressedSize;
    uint32_t reserved;
};
static_assert(sizeof(PackageBlock) == 12);

class PackageEntry {
  public:
    PackageEntry() = default;
    PackageEntry(const PackageEntry&) = default;
    PackageEntry& operator=(const PackageEntry&) = default;

    // Copies versionMadeBy .. nameLength from the 26 fixed bytes of a directory record (the
    // caller has checked that they are present and that the signature matches).
    void ParseDirectoryRecord(const uint8_t* record);
    // The inverse: the 26 fixed bytes of the entry's directory record, signature included.
    void WriteDirectoryRecord(uint8_t* record) const;
    // `name` is NUL-terminated and must outlive the entry (the archive's name table).
    void SetName(const char* name) { name_ = name; }
    // The entry's rows of the archive's block table; also computes both totals. Returns -1 when a
    // total does not fit 32 bits (such an entry cannot be part of a package below 2 GiB).
    int32_t SetBlocks(const PackageBlock* first, uint32_t count);

    uint16_t versionMadeBy() const { return versionMadeBy_; }
    uint16_t versionNeeded() const { return versionNeeded_; }
    uint16_t flags() const { return flags_; }
    uint16_t method() const { return method_; }
    uint16_t reserved1() const { return reserved1_; }
    uint16_t reserved2() const { return reserved2_; }
    uint32_t crc() const { return crc_; }
    // Stored length in bytes; the name itself ends at its first NUL, so it may be shorter.
    uint16_t nameLength() const { return nameLength_; }
    // The stored name, NUL-terminated narrow text; never null.
    const char* name() const { return name_; }
    // Every stored byte of the name, NULs included.
    std::string_view storedName() const { return {name_, nameLength_}; }
    uint32_t blockCount() const { return blockCount_; }
    std::span<const PackageBlock> blocks() const { return {blocks_, blockCount_}; }

    // Sums of compressedSize / uncompressedSize over the block table.
    uint32_t CompressedTotal() const { return compressedTotal_; }
    uint32_t UncompressedTotal() const { return uncompressedTotal_; }
    // An entry without compressed bytes is a directory, whatever its name says.
    bool IsDirectory() const { return compressedTotal_ == 0; }

  private:
    uint16_t versionMadeBy_ = kPackageVersion;
    uint16_t versionNeeded_ = kPackageVersion;
    uint16_t flags_ = 0;
    uint16_t method_ = kPackageMethodDeflate;
    uint16_t reserved1_ = 0;
    uint16_t reserved2_ = 0;
    uint32_t crc_ = 0;
    uint16_t nameLength_ = 0;
    uint32_t blockCount_ = 0;  // beside the 16-bit fields: an entry of 48 bytes, not 56
    uint32_t compressedTotal_ = 0;
    uint32_t uncompressedTotal_ = 0;
    const char* name_ = "";
    const PackageBlock* blocks_ = nullptr;
};
