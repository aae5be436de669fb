// One catalogue entry of an open package: the fields of its directory record, where its stored
// name is and its block table. Entries are created and owned by their PackageArchive and
// identified by pointer; they stay valid until PackageClose.
//
// The block rows live in one flat table owned by the archive; an entry refers to its part of it.
// The names of a small catalogue are kept in the archive too; those of a large one stay in the
// package and are read again when asked for (ReadName), each checked against a keyed hash taken
// when the catalogue was read, so a package changed since then yields no name instead of another.
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

class PackageEntry;

// A stored name read into the caller's memory: every stored byte (NULs included) and a NUL after
// them, so `text` is also the name up to its first NUL.
struct PackageName {
    char text[kPackageMaxNameLength + 1] = {};
    uint16_t length = 0;
    std::string_view stored() const { return {text, length}; }
};

// Told each stored name as the parse of a catalogue reads it (a plan of the names made during
// the open, so that a directory whose names stay in the package is read once).
class CatalogueNameFeed {
  public:
    virtual ~CatalogueNameFeed() = default;
    // Before the first record: the entries, whose records the parse fills in as it goes.
    virtual void Begin(const PackageEntry* const* entries, uint32_t count) = 0;
    // Entry `index`'s record is parsed, and `stored` is its name (valid during the call).
    virtual void Take(uint32_t index, std::string_view stored) = 0;
};

// Where entries' names are read from and their block rows lie (the archive).
class PackageNameSource {
  public:
    virtual ~PackageNameSource() = default;
    // 0, or -1 when the name cannot be read as the catalogue read it.
    virtual int32_t ReadName(const PackageEntry& entry, PackageName& name) const = 0;
    // The block table the entries' rows are counted in.
    const PackageBlock* blockTable() const { return blockRows_; }

  protected:
    const PackageBlock* blockRows_ = nullptr;
};

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
    // Where the name is found by `source`: `at` and the name's keyed hash mean what it makes of
    // them. `source` must outlive the entry.
    void SetName(const PackageNameSource* source, uint32_t at, uint64_t hash) {
        names_ = source;
        nameAt_ = at;
        nameHash_ = hash;
    }
    uint32_t nameAt() const { return nameAt_; }
    uint64_t nameHash() const { return nameHash_; }
    // The entry's rows of the archive's block table (`count` from row `first` of the name
    // source's table, SetName first); also computes both totals. Returns -1 when a total does
    // not fit 32 bits (such an entry cannot be part of a package below 2 GiB).
    int32_t SetBlocks(uint32_t first, uint32_t count);
    // The totals alone, as the parse of the directory sums them before the rows have their place
    // (SetBlocks later sets the same).
    void SetTotals(uint32_t compressed, uint32_t uncompressed) {
        compressedTotal_ = compressed;
        uncompressedTotal_ = uncompressed;
    }

    uint16_t versionMadeBy() const { return versionMadeBy_; }
    uint16_t versionNeeded() const { return versionNeeded_; }
    uint16_t flags() const { return flags_; }
    uint16_t method() const { return method_; }
    uint16_t reserved1() const { return reserved1_; }
    uint16_t reserved2() const { return reserved2_; }
    uint32_t crc() const { return crc_; }
    // Stored length in bytes; the name itself ends at its first NUL, so it may be shorter.
    uint16_t nameLength() const { return nameLength_; }
    // Reads the stored name into `name`: 0, or -1 (and an empty name) when it cannot be read as
    // the catalogue read it (the package changed on its medium, or a read failed). An entry of
    // no archive has an empty name.
    int32_t ReadName(PackageName& name) const;
    uint32_t blockCount() const { return blockCount_; }
    std::span<const PackageBlock> blocks() const {
        return names_ == nullptr ? std::span<const PackageBlock>()
                                 : std::span(names_->blockTable() + firstBlock_, blockCount_);
    }

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
    uint32_t blockCount_ = 0;       // beside the 16-bit fields, and the 32-bit fields in pairs:
    uint32_t compressedTotal_ = 0;  // an entry of 56 bytes on a 64-bit host
    uint32_t uncompressedTotal_ = 0;
    uint32_t nameAt_ = 0;
    uint32_t firstBlock_ = 0;
    uint64_t nameHash_ = 0;
    const PackageNameSource* names_ = nullptr;
};
