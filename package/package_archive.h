// PackageArchive: one open package, read from a ByteSource, its END record and its catalogue, and
// the settings that runs over it (EntryRun, extract.h) take. It holds no state of a run.
//
// Results: 0 success, -1 failure. The catalogue is one contiguous array of entries, so an entry
// pointer's index is found by address arithmetic, and the data position of every entry comes from
// prefix sums built once when the directory is read: every catalogue operation is O(1) per entry.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <span>

#include "package/block_codec.h"
#include "package/byte_source.h"
#include "package/layout.h"
#include "package/package_entry.h"
#include "package/package_fault.h"

// The END record and the trailer comment in memory.
struct PackageEndRecord {
    uint32_t signature = kPackageEndSignature;
    uint16_t entryCount = 0;
    uint32_t directorySize = 0;
    uint32_t directoryOffset = 0;
    char comment[kPackageMaxCommentLength + 1] = {};  // NUL-terminated
    uint16_t commentLength = 0;
};

class PackageArchive final : public PackageNameSource {
  public:
    // The most name bytes a catalogue keeps in memory, as they are or, when they are more,
    // deflated in pieces of 64 KiB; the names of a catalogue that fits neither way stay in the
    // package and are read again where needed (through one read-ahead window of 64 KiB).
    static constexpr uint32_t kKeptNameBytes = 1024 * 1024;

    // Reads its package from `source`, which it owns; nothing is read before BuildEntryArray.
    PackageArchive(std::unique_ptr<ByteSource> source, bool prefixed);
    ~PackageArchive() override;
    PackageArchive(const PackageArchive&) = delete;
    PackageArchive& operator=(const PackageArchive&) = delete;

    // The name bytes the archives opened from now on keep in memory at most (kKeptNameBytes
    // unless set): 0 leaves every catalogue's names in the package, as a large one's are (tests).
    static void SetKeptNameBytes(uint32_t bytes) { keptNameLimit_ = bytes; }

    // ReadCatalogue, then the array of entry pointers handed to the caller (borrowed by it until
    // the archive is destroyed). Refuses an empty source or one of
    // 2 GiB or more, and a package whose directory does not hold what it claims (records or
    // block tables running past directorySize, names over 259 bytes, blocks over the buffer
    // limits) or whose comment is longer than 259 bytes.
    // `feed`, when given, is told every stored name as the directory is parsed.
    int32_t BuildEntryArray(PackageEntry*** entries, uint32_t* count,
                            CatalogueNameFeed* feed = nullptr);

    // The catalogue's entry for pointer `entry`, or null for a pointer that is not one of ours.
    PackageEntry* FindEntry(const PackageEntry* entry);

    // The catalogue index of `entry`, or kPackageNoEntry for a pointer that is not one of ours.
    uint16_t FindEntryIndex(const PackageEntry* entry) const;
    // Where the data of catalogue entry `index` starts in the package; -1 when that position is
    // before the start or beyond 2 GiB.
    int64_t DataStart(uint32_t index) const;
    // The package comment converted to wide; -1 when there is none.
    int32_t DefaultTargetDirectory(std::u16string& destination) const;

    const PackageEndRecord& endRecord() const { return endRecord_; }
    const std::vector<PackageEntry>& catalogue() const { return entries_; }
    // The pointers BuildEntryArray handed out: every catalogue entry, in directory order.
    std::span<PackageEntry* const> entryArray() const { return entryArray_; }
    // The package's length, fixed at the open.
    int64_t size() const { return source_->Size(); }
    // What runs read entry data through, unless a scan reads through its own stream.
    ByteSource& source() { return *source_; }
    // Reads the source at `offset` (see ByteSource::ReadAt and ReadAheadTo).
    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) {
        return source_->ReadAt(offset, buffer, count);
    }
    void ReadAheadTo(int64_t end) { source_->ReadAheadTo(end); }
    // Bytes that arrived from the source's storage since it was opened (ByteSource::BytesRead).
    uint64_t bytesRead() const { return source_->BytesRead(); }
    // The tail, the bytes from the directory's first to the file's last (directory, END record,
    // comment and its length), as the open read and parsed them: `count` bytes from `offset` in
    // it into `buffer`; fewer only past its end. The directory's records are rebuilt from the
    // catalogue (which holds every byte of them), the rest comes from a copy, so the directory is
    // not kept twice.
    uint32_t CopyTail(uint64_t offset, uint8_t* buffer, uint32_t count) const;
    uint64_t tailSize() const { return tailSize_; }
    int64_t tailStart() const { return size() - static_cast<int64_t>(tailSize_); }
    // Frees what the tail keeps for scans; the archive cannot be scanned afterwards.
    void ReleaseTail() {
        std::vector<uint8_t>().swap(tailRest_);
        tailReleased_ = true;
    }
    bool tailReleased() const { return tailReleased_; }

    // The stored name of one of our entries (PackageEntry::ReadName): from memory, or read from
    // the package again and refused unless its keyed hash is the one the catalogue read gave.
    // Reads through the source, so one thread at a time.
    int32_t ReadName(const PackageEntry& entry, PackageName& name) const override;
    // The same for a run that reads the entries' data in order: a name read again from the package
    // is taken from the entry's local record (`local`, read with its data: BlockSource::
    // LocalName; null: read beside them, ByteSource::ReadBeside), so the run reads no directory
    // besides; refused there unless its keyed hash is the catalogue's, and then read from the
    // directory.
    int32_t ReadRunName(const PackageEntry& entry, const PackageName* local,
                        PackageName& name) const;
    // Whether the names are read again from the package (a run's local names then serve).
    bool NamesInPackage() const { return !namesKept_ && namePieces_.empty(); }
    // Whether `name` is the stored name the catalogue read for `entry` (by its keyed hash, where
    // the names stay in the package).
    bool IsNameOf(const PackageEntry& entry, std::string_view name) const {
        return name.size() == entry.nameLength() &&
               NameHash(name.data(), static_cast<uint32_t>(name.size())) == entry.nameHash();
    }

    // The reason of the last failed run (EntryRun); false when there is none.
    bool LastProblem(PackageProblem* problem) const;
    // Kept by each run as it ends.
    void SetLastProblem(const PackageProblem& problem) { problem_ = problem; }

    // Threads that runs decode blocks with: 0 (the default) one per processor (for a
    // verification: of blocks of 4 KiB compressed or more on average), 1 the calling thread
    // alone. Whatever the number, files, directories, progress calls and faults come in the same
    // order with the same values.
    void SetJobs(uint32_t jobs) { jobs_ = jobs; }
    uint32_t jobs() const { return jobs_; }
    // The device folder whose length the device's path limit counts instead of the target's
    // (PackageSetLimitFolder); empty: the target counts.
    void SetLimitFolder(const char16_t* folder) { limitFolder_ = folder != nullptr ? folder : u""; }
    const std::u16string& limitFolder() const { return limitFolder_; }
    // A reader that every scan also hands the file's bytes to (PackageSetScanTap).
    using ScanTapProc = int32_t (*)(void* context, const uint8_t* data, uint32_t size);
    void SetScanTap(ScanTapProc proc, void* context) {
        scanTap_ = proc;
        scanTapContext_ = context;
    }
    ScanTapProc scanTap() const { return scanTap_; }
    void* scanTapContext() const { return scanTapContext_; }

  private:
    // Reads trailer, END record and directory, parses them and keeps what the catalogue does not
    // hold of them in tailRest_.
    int32_t ReadCatalogue(CatalogueNameFeed* feed);
    // One pass over the directory of `size` bytes at `at`, read through a window of 64 KiB.
    int32_t ParseDirectory(int64_t at, uint32_t size, CatalogueNameFeed* feed);
    uint64_t NameHash(const char* name, uint32_t length) const;
    // Where directory record k starts in the directory, for k up to the entry count (the end of
    // the last record).
    uint64_t RecordStart(uint32_t k) const;

    std::unique_ptr<ByteSource> source_;
    bool prefixed_ = false;
    std::u16string limitFolder_;  // empty: the target counts toward the device's path limit
    uint64_t tailSize_ = 0;
    // The tail from the end of the directory's last record: bytes of the directory that no
    // record holds, then END record, comment and its length.
    std::vector<uint8_t> tailRest_;
    bool tailReleased_ = false;
    std::vector<PackageEntry> entries_;  // the catalogue, in directory order
    std::vector<PackageBlock> blockTable_;
    std::vector<char> nameTable_;  // each name and a NUL, when the catalogue keeps its names
    bool namesKept_ = true;
    static inline std::atomic<uint32_t> keptNameLimit_ = kKeptNameBytes;
    int64_t directoryStart_ = 0;
    uint64_t recordsEnd_ = 0;   // where the last directory record ends in the directory
    uint8_t nameKey_[16] = {};  // the key of the names' hashes, drawn at random for each open
    // The read-ahead window of names read again: kNameWindow bytes from package position
    // windowStart_, windowLength_ of them valid.
    static constexpr uint32_t kNameWindow = 64 * 1024;
    mutable std::unique_ptr<uint8_t[]> window_;
    mutable int64_t windowStart_ = 0;
    mutable uint32_t windowLength_ = 0;
    // Names kept deflated: piece i holds the names of entries firstEntry.. in order, inflated into
    // window_ when read (heldPiece_ is the one it holds) by a decoder made with the first piece,
    // so that reading a name allocates nothing.
    struct NamePiece {
        uint32_t firstEntry;
        uint32_t packedAt;
        uint32_t rawSize;
    };
    bool PackNames(std::vector<char>& raw, uint32_t firstEntry);
    std::vector<NamePiece> namePieces_;
    // While the directory is parsed, the entries from here on are in no piece yet (a name asked
    // for then is read from the package).
    uint32_t unpackedFrom_ = UINT32_MAX;
    std::vector<uint8_t> packedNames_;
    mutable uint32_t heldPiece_ = UINT32_MAX;
    mutable std::unique_ptr<block_codec::Inflater> nameInflater_;
    // localPrefix_[k] = sum over j < k of (20 + nameLength(j)); dataPrefix_[k] = sum over j < k
    // of CompressedTotal(j); both modulo 2^32 and n + 1 long.
    std::vector<uint32_t> localPrefix_;
    std::vector<uint32_t> dataPrefix_;
    int64_t endRecordPosition_ = 0;
    PackageEndRecord endRecord_;
    std::vector<PackageEntry*> entryArray_;
    PackageProblem problem_ = {PackageFault::kNone, kPackageNoEntry, 0, 0, 0};
    uint32_t jobs_ = 0;
    ScanTapProc scanTap_ = nullptr;
    void* scanTapContext_ = nullptr;
};
