// EntryRun: one run over entries of an open package, with all its state: an extraction (directories
// created, files inflated block by block, sized, CRC-checked and written), its check without
// output, or the check of the whole catalogue for a scan. A run takes the archive's jobs and limit
// folder, and leaves its problem as the archive's last one (PackageArchive::LastProblem).
//
// Results: 0 success, -1 failure. Use one object per run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/block_source.h"
#include "package/extract_progress.h"
#include "package/layout.h"
#include "package/package_fault.h"

class ArchiveFile;
class ByteSource;
class PackageArchive;
class PackageEntry;
struct InstallPlan;

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
    // An extraction in two halves, for a caller that must hold all of its memory before anything
    // is written. Ready takes what extracting `entries` (in that order) under `targetDirectory`
    // needs: their catalogue indices, the block buffers, the decoding threads; it writes nothing.
    // `plan` is the plan made for exactly these entries in this order over the tree the
    // extraction will find (its steps say which files are replaced); null plans here. Go then
    // extracts, allocating nothing whose size depends on the package. A failure of Ready is
    // kOutOfMemory when memory ran out.
    int32_t Ready(PackageEntry* const* entries, uint32_t count, const char16_t* targetDirectory,
                  const InstallPlan* plan);
    int32_t Go();
    // Where the replacements of this run record their scratch files (platform::ScratchRule::
    // record), so that a run after a power loss can remove one; not owned. Null: none.
    void RecordScratchIn(const char16_t* record) { scratchRecord_ = record; }
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
    // The run's two halves: everything it allocates, then the work.
    int32_t Prepare(PackageEntry* const* entries, uint32_t count, const char16_t* targetDirectory,
                    const InstallPlan* plan);
    int32_t Work();
    // The replacements of a plan handed over, per catalogue index; -1 when it is not one of
    // the run's entries.
    int32_t TakePlan(const InstallPlan& plan);
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
    // `local`: its local name, read with its data (BlockSource::LocalName), or null.
    int32_t CurrentWideName(std::u16string& name, const PackageName* local);
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
    // The name the progress was last told, and of which entry.
    uint16_t reportedIndex_ = kPackageNoEntry;
    char16_t reportedName_[kPackagePathCapacity] = {};
    PackageProblem problem_ = {PackageFault::kNone, kPackageNoEntry, 0, 0, 0};
    // A scan's entry whose inflated bytes are kept, and where.
    uint32_t keepEntry_ = 0xFFFFFFFFu;
    std::vector<uint8_t>* kept_ = nullptr;
    // Per catalogue index: the plan found a file to replace at that entry's path.
    std::vector<bool> plannedReplace_;
    std::u16string scratchBase_;  // the plan's
    const char16_t* scratchRecord_ = nullptr;
    // What Prepare took for Work: the catalogue index of every entry given, the data of its
    // files, their blocks' source.
    std::vector<uint16_t> indices_;
    std::vector<EntryData> data_;
    std::unique_ptr<BlockSource> blocks_;
    const char16_t* target_ = nullptr;
    uint32_t peakBlocksInFlight_ = 0;
};
