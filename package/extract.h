// EntryRun: one run over entries of an open package, with all its state: an extraction (directories
// created, files inflated block by block, sized, CRC-checked and written), its check without
// output, or the check of the whole catalogue for a scan. A run takes the archive's jobs and limit
// folder, and leaves its problem as the archive's last one (PackageArchive::LastProblem).
//
// Results: 0 success, -1 failure. Use one object per run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package/extract_progress.h"
#include "package/layout.h"
#include "package/package_fault.h"

class ArchiveFile;
class BlockSource;
class ByteSource;
class PackageArchive;
class PackageEntry;

class EntryRun {
  public:
    // `progress` is called after every block; `makeDirectory` creates the directories of an
    // extraction (null: none are made).
    explicit EntryRun(PackageArchive& archive, const PackageProgress& progress = {},
                      MakeDirectoryProc makeDirectory = nullptr);
    EntryRun(const EntryRun&) = delete;
    EntryRun& operator=(const EntryRun&) = delete;

    // Extracts the entries under `targetDirectory` (a wide path ending with `\`, or null for the
    // package comment). Directory entries are created, file entries written block by block.
    // Entries not in the catalogue are skipped and fail the call; a failing file entry stops it.
    // Nothing is written unless the extraction plan (install_plan.h) accepts every entry.
    int32_t Extract(PackageEntry* const* entries, uint32_t count, const char16_t* targetDirectory);
    // Checks the entries as extraction would, writing nothing; plans with the manifest rules.
    int32_t Verify(PackageEntry* const* entries, uint32_t count, const char16_t* targetDirectory);
    // Checks every entry of the catalogue like Verify without names and plan, reading through
    // `stream` (a reader of the whole file in order, see package_scan.cpp); the inflated bytes of
    // catalogue entry `keepEntry` are appended to *kept.
    int32_t Scan(ByteSource& stream, uint32_t keepEntry, std::vector<uint8_t>* kept);

    // The most blocks the run held in memory at once (0 for a single-threaded run).
    uint32_t peakBlocksInFlight() const { return peakBlocksInFlight_; }

  private:
    enum class Kind : uint8_t { kExtract, kVerify, kScan };
    // The run; its problem goes to the archive.
    int32_t Run(PackageEntry* const* entries, uint32_t count, const char16_t* targetDirectory,
                Kind kind);
    int32_t RunEntries(PackageEntry* const* entries, uint32_t count,
                       const char16_t* targetDirectory);
    // The work of one entry of the run: the current one, its blocks taken from `blocks`.
    int32_t RunCurrentEntry(const char16_t* targetDirectory, BlockSource& blocks);
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

  public:
    // What the device's limit counts more than a path under `target` holds, for `archive`'s limit
    // folder (PlanScratchRule).
    static std::ptrdiff_t LimitShift(const PackageArchive& archive, const std::u16string& target);

  private:
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

    PackageArchive& archive_;
    const PackageProgress progress_;
    const MakeDirectoryProc makeDirectory_;
    Kind kind_ = Kind::kExtract;
    // What the run reads entry data through: a scan's stream, or (null) the archive's source.
    ByteSource* reader_ = nullptr;
    uint64_t totalBytes_ = 0;
    uint64_t doneBytes_ = 0;
    uint64_t entryBytes_ = 0;
    uint64_t entryDoneBytes_ = 0;
    uint16_t currentIndex_ = kPackageNoEntry;
    PackageProblem problem_ = {PackageFault::kNone, kPackageNoEntry, 0, 0, 0};
    // A scan's entry whose inflated bytes are kept, and where.
    uint32_t keepEntry_ = 0xFFFFFFFFu;
    std::vector<uint8_t>* kept_ = nullptr;
    // Per catalogue index: the plan found a file to replace at that entry's path.
    std::vector<bool> plannedReplace_;
    std::u16string scratchBase_;  // the plan's
    uint32_t peakBlocksInFlight_ = 0;
};
