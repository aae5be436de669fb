// PackageArchive: one open package, read from a ByteSource, its END record and its catalogue.
//
// Results: 0 success, -1 failure. The catalogue is one contiguous array of entries, so an entry
// pointer's index is found by address arithmetic, and the data position of every entry comes from
// prefix sums built once when the directory is read: every catalogue operation is O(1) per entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <span>

#include "package/archive_file.h"
#include "package/byte_source.h"
#include "package/extract_progress.h"
#include "package/layout.h"
#include "package/package.h"
#include "package/package_entry.h"
#include "package/package_fault.h"

class BlockSource;

// The END record and the trailer comment in memory.
struct PackageEndRecord {
    uint32_t signature = kPackageEndSignature;
    uint16_t entryCount = 0;
    uint32_t directorySize = 0;
    uint32_t directoryOffset = 0;
    char comment[kPackageMaxCommentLength + 1] = {};  // NUL-terminated
    uint16_t commentLength = 0;
};

class PackageArchive {
  public:
    // Reads its package from `source`, which it owns; nothing is read before BuildEntryArray.
    PackageArchive(std::unique_ptr<ByteSource> source, bool prefixed);
    ~PackageArchive();
    PackageArchive(const PackageArchive&) = delete;
    PackageArchive& operator=(const PackageArchive&) = delete;

    // ReadCatalogue, then the array of entry pointers handed to the caller (borrowed by it until
    // the archive is destroyed). Refuses an empty source or one of
    // 2 GiB or more, and a package whose directory does not hold what it claims (records or
    // block tables running past directorySize, names over 259 bytes, blocks over the buffer
    // limits) or whose comment is longer than 259 bytes.
    int32_t BuildEntryArray(PackageEntry*** entries, uint32_t* count);

    // The catalogue's entry for pointer `entry`, or null for a pointer that is not one of ours.
    PackageEntry* FindEntry(const PackageEntry* entry);

    PackageArchive* SetMakeDirectoryCallback(MakeDirectoryProc callback);
    // The plain progress function, called through SetProgress's context.
    PackageArchive* SetProgressCallback(ProgressProc callback);
    PackageArchive* SetProgress(const PackageProgress& progress);

    // Extracts the entries under `targetDirectory` (a wide path ending with `\`, or null for the
    // package comment). Directory entries are created, file entries written block by block.
    // Entries not in the catalogue are skipped and fail the call; a failing file entry stops it.
    int32_t ExtractEntries(PackageEntry* const* entries, uint32_t count,
                           const char16_t* targetDirectory);
    // Checks the entries as extraction would, writing nothing.
    int32_t VerifyEntries(PackageEntry* const* entries, uint32_t count,
                          const char16_t* targetDirectory);
    // Checks every entry of the catalogue like VerifyEntries without names and plan, reading
    // through `stream` (a reader of the whole file in order, see package_scan.cpp); the inflated
    // bytes of catalogue entry `keepEntry` are appended to *kept.
    int32_t ScanEntries(ByteSource& stream, uint32_t keepEntry, std::vector<uint8_t>* kept);

    const PackageEndRecord& endRecord() const { return endRecord_; }
    const std::vector<PackageEntry>& catalogue() const { return entries_; }
    // The package's length, fixed at the open.
    int64_t size() const { return source_->Size(); }
    // Reads the source at `offset` (see ByteSource::ReadAt and ReadAheadTo).
    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) {
        return source_->ReadAt(offset, buffer, count);
    }
    void ReadAheadTo(int64_t end) { source_->ReadAheadTo(end); }
    // Bytes that arrived from the source's storage since it was opened (ByteSource::BytesRead).
    uint64_t bytesRead() const { return source_->BytesRead(); }
    // The bytes from the directory's first to the file's last, as the open read and parsed them
    // (directory, END record, comment and its length), and where they start in the file.
    std::span<const uint8_t> tail() const { return tail_; }
    int64_t tailStart() const { return size() - static_cast<int64_t>(tail_.size()); }
    // Frees that copy once no scan will need it (it is as large as the directory); the archive
    // cannot be scanned afterwards.
    void ReleaseTail() {
        std::vector<uint8_t>().swap(tail_);
        tailReleased_ = true;
    }
    bool tailReleased() const { return tailReleased_; }

    // The reason of the last failed ExtractEntries / VerifyEntries; false when there is none.
    bool LastProblem(PackageProblem* problem) const;

    // Threads that ExtractEntries and VerifyEntries decode blocks with: 0 (the default) one per
    // processor (for a verification: of blocks of 4 KiB compressed or more on average), 1 the
    // calling thread alone.
    // Whatever the number, files, directories, progress calls and faults come in the same order
    // with the same values.
    void SetJobs(uint32_t jobs) { jobs_ = jobs; }
    void SetLimitFolder(const char16_t* folder) { limitFolder_ = folder != nullptr ? folder : u""; }
    // The most blocks the last run held in memory at once (0 for a single-threaded run).
    uint32_t peakBlocksInFlight() const { return peakBlocksInFlight_; }

  private:
    // Reads trailer, END record and directory into tail_ and parses them.
    int32_t ReadCatalogue();
    static int32_t ConvertToWide(const char* source, char16_t* destination, int32_t capacity) {
        return ArchiveFile::ConvertToWide(source, destination, capacity);
    }
    uint16_t FindEntryIndex(const PackageEntry* entry) const;
    // The package comment converted to wide; -1 when there is none.
    int32_t DefaultTargetDirectory(std::u16string& destination);
    // Where the data of catalogue entry `index` starts in the package; -1 when that position is
    // before the start or beyond 2 GiB.
    int64_t DataStart(uint32_t index) const;
    enum class Run : uint8_t { kExtract, kVerify, kScan };
    int32_t RunEntries(PackageEntry* const* entries, uint32_t count,
                       const char16_t* targetDirectory, Run run);
    // The work of one entry of a run: the current one, its blocks taken from `blocks`.
    int32_t RunCurrentEntry(Run run, const char16_t* targetDirectory, BlockSource& blocks);
    int32_t MakeDirectoryEntry(const char16_t* targetDirectory);
    int32_t ExtractCurrentEntry(const char16_t* targetDirectory, BlockSource& blocks);
    int32_t VerifyCurrentEntry(const char16_t* targetDirectory, BlockSource& blocks);
    // The current entry's blocks, from `blocks`: size and CRC checks, optional write or keeping,
    // progress.
    int32_t ProcessEntryData(BlockSource& blocks, ArchiveFile* output,
                             std::vector<uint8_t>* keep = nullptr);
    // The current entry's name converted to wide and checked; -1 with the problem recorded.
    int32_t CurrentWideName(std::u16string& name);
    // Target directory (given or default) joined with `name` into `path`, within the device's
    // limit (counted on the limit folder instead of the target when one is set).
    int32_t JoinTarget(const char16_t* targetDirectory, const std::u16string& name,
                       std::u16string& path, std::u16string& target);
    void MakeParentDirectories(const std::u16string& target, const std::u16string& name);
    // What the device's limit counts more than a path under `target` holds (PlanScratchPath).
    std::ptrdiff_t LimitShift(const std::u16string& target) const {
        return limitFolder_.empty() ? 0
                                    : static_cast<std::ptrdiff_t>(limitFolder_.size()) -
                                          static_cast<std::ptrdiff_t>(target.size());
    }
    // Builds the extraction plan of the entries found in the catalogue, in the order given, on
    // the tree as it is (install_plan.h); -1 with the problem recorded when it refuses them.
    // `manifestRules`: the manifest rules and order of a whole package's check.
    int32_t CheckPlan(PackageEntry* const* entries, uint32_t count, const char16_t* targetDirectory,
                      bool manifestRules);
    int32_t Fail(PackageFault fault, uint32_t block = 0, uint64_t expected = 0,
                 uint64_t actual = 0);
    // Counts a block of the current entry as consumed and calls the progress function; clears
    // `firstBlock` (1 only for an entry's first call).
    void ReportBlockDone(const PackageEntry& entry, uint32_t compressedSize, uint32_t& firstBlock);
    int32_t WalkDirectoryRecords(int64_t at, uint32_t size);
    int32_t ParseDirectory(const uint8_t* directory, uint32_t size);

    std::unique_ptr<ByteSource> source_;
    // What a run reads entry data through: a scan's stream, or (null) the source itself.
    ByteSource* reader_ = nullptr;
    MakeDirectoryProc makeDirectory_ = nullptr;
    uint64_t totalBytes_ = 0;
    uint64_t doneBytes_ = 0;
    uint64_t entryBytes_ = 0;
    uint64_t entryDoneBytes_ = 0;
    static void CallPlainProgress(void* archive, uint64_t totalBytes, uint64_t doneBytes,
                                  const char16_t* name, uint64_t entryBytes,
                                  uint64_t entryDoneBytes, bool firstBlock);
    ProgressProc plainProgress_ = nullptr;
    PackageProgress progress_;
    bool prefixed_ = false;
    std::u16string limitFolder_;  // empty: the target counts toward the device's path limit
    std::vector<uint8_t> tail_;
    bool tailReleased_ = false;
    std::vector<PackageEntry> entries_;  // the catalogue, in directory order
    std::vector<PackageBlock> blockTable_;
    std::vector<char> nameTable_;
    // localPrefix_[k] = sum over j < k of (20 + nameLength(j)); dataPrefix_[k] = sum over j < k
    // of CompressedTotal(j); both modulo 2^32 and n + 1 long.
    std::vector<uint32_t> localPrefix_;
    std::vector<uint32_t> dataPrefix_;
    int64_t endRecordPosition_ = 0;
    PackageEndRecord endRecord_;
    std::vector<PackageEntry*> entryArray_;
    uint16_t currentIndex_ = kPackageNoEntry;
    PackageProblem problem_ = {PackageFault::kNone, kPackageNoEntry, 0, 0, 0};

    // A scan's entry whose inflated bytes are kept, and where.
    uint32_t keepEntry_ = 0xFFFFFFFFu;
    std::vector<uint8_t>* kept_ = nullptr;

    // Per catalogue index: the last plan found a file to replace at that entry's path.
    std::vector<bool> plannedReplace_;

    uint32_t jobs_ = 0;
    uint32_t peakBlocksInFlight_ = 0;
};
