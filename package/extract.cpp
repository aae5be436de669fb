// Extraction of catalogue entries: directories are created, files inflated block by block, sized,
// CRC-checked and written. Verification runs the same loop without an output file.
#include "package/extract.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "package/block_codec.h"
#include "package/block_pipeline.h"
#include "package/block_source.h"
#include "package/conversion.h"
#include "package/install_plan.h"
#include "package/name_rules.h"
#include "package/package_archive.h"
#include "platform/file.h"
#include "platform/replace.h"
#include "platform/text.h"

EntryRun::EntryRun(PackageArchive& archive, const PackageProgress& progress,
                   MakeDirectoryProc makeDirectory)
    : archive_(archive), progress_(progress), makeDirectory_(makeDirectory) {}

int32_t EntryRun::Extract(PackageEntry* const* entries, uint32_t count,
                          const char16_t* targetDirectory) {
    return Run(entries, count, targetDirectory, Kind::kExtract);
}

int32_t EntryRun::Verify(PackageEntry* const* entries, uint32_t count,
                         const char16_t* targetDirectory) {
    return Run(entries, count, targetDirectory, Kind::kVerify);
}

int32_t EntryRun::Scan(ByteSource& stream, uint32_t keepEntry, std::vector<uint8_t>* kept) {
    reader_ = &stream;
    keepEntry_ = keepEntry;
    kept_ = kept;
    const std::span<PackageEntry* const> all = archive_.entryArray();
    return Run(all.data(), static_cast<uint32_t>(all.size()), nullptr, Kind::kScan);
}

int32_t EntryRun::Run(PackageEntry* const* entries, uint32_t count, const char16_t* targetDirectory,
                      Kind kind) {
    kind_ = kind;
    int32_t result = Prepare(entries, count, targetDirectory, nullptr);
    if (result == 0) {
        result = Work();
    }
    archive_.SetLastProblem(problem_);
    return result;
}

int32_t EntryRun::Ready(PackageEntry* const* entries, uint32_t count,
                        const char16_t* targetDirectory, const InstallPlan* plan) {
    kind_ = Kind::kExtract;
    const int32_t result = Prepare(entries, count, targetDirectory, plan);
    archive_.SetLastProblem(problem_);
    return result;
}

int32_t EntryRun::Go() {
    const int32_t result = blocks_ != nullptr ? Work() : -1;
    archive_.SetLastProblem(problem_);
    return result;
}

int32_t EntryRun::Prepare(PackageEntry* const* entries, uint32_t count,
                          const char16_t* targetDirectory, const InstallPlan* plan) {
    const bool write = kind_ == Kind::kExtract;
    if (count == 0 || entries == nullptr) {
        return -1;
    }
    target_ = targetDirectory;
    try {
        // First pass: the catalogue index of every item and the compressed total of the whole
        // call, for the progress counters.
        indices_.assign(count, kPackageNoEntry);
        uint64_t blockCount = 0;
        uint32_t files = 0;
        for (uint32_t i = 0; i < count; ++i) {
            indices_[i] = archive_.FindEntryIndex(entries[i]);
            if (indices_[i] == kPackageNoEntry) {
                continue;
            }
            const PackageEntry& entry = archive_.catalogue()[indices_[i]];
            totalBytes_ += entry.CompressedTotal();
            blockCount += entry.blocks().size();
            files += entry.IsDirectory() ? 0 : 1;
        }
        // Nothing is written unless every entry can be written exactly as planned.
        if (plan != nullptr
                ? TakePlan(*plan) != 0
                : kind_ != Kind::kScan && CheckPlan(entries, count, targetDirectory, !write) != 0) {
            return -1;
        }
        // The data of the file entries in the order they are taken. Reads go ahead through a
        // stretch of items that are neighbours in the package too (the local records between
        // them included), never past it.
        data_.assign(files, EntryData{});
        int64_t aheadEnd = 0;
        for (uint32_t i = count, file = files; i-- > 0;) {
            const uint16_t index = indices_[i];
            if (index == kPackageNoEntry) {
                continue;
            }
            const PackageEntry& entry = archive_.catalogue()[index];
            const int64_t start = archive_.DataStart(index);  // -1, or below 2 GiB
            const bool joined = i + 1 < count && indices_[i + 1] != kPackageNoEntry &&
                                indices_[i + 1] == index + 1u;
            if (!joined) {
                aheadEnd =
                    start < 0 ? 0 : std::min<int64_t>(start + entry.CompressedTotal(), INT32_MAX);
            }
            if (!entry.IsDirectory()) {
                // A name that would be read again from the directory is read with the data.
                data_[--file] = {entry.blocks(), static_cast<int32_t>(start),
                                 static_cast<int32_t>(aheadEnd),
                                 archive_.NamesInPackage() ? entry.nameLength() : uint16_t{0}};
            }
        }
        if (reader_ == nullptr) {
            reader_ = &archive_.source();
        }
        // Blocks are decoded ahead on other threads when the job count says so; everything
        // below stays on this thread and in this order.
        if (const uint32_t threads = PipelinedBlocks::Threads(archive_.jobs(), blockCount);
            threads > 1) {
            blocks_ = PipelinedBlocks::Make(threads, *reader_, data_);
        }
        if (blocks_ == nullptr) {
            blocks_ = std::make_unique<SerialBlocks>(*reader_, data_);
        }
    } catch (const std::bad_alloc&) {
        blocks_.reset();
        return Fail(PackageFault::kOutOfMemory);
    }
    return 0;
}

int32_t EntryRun::TakePlan(const InstallPlan& plan) {
    if (plan.steps.size() != indices_.size()) {
        return Fail(PackageFault::kPlanRefused);
    }
    plannedReplace_.assign(archive_.catalogue().size(), false);
    for (std::size_t i = 0; i < indices_.size(); ++i) {
        if (indices_[i] != kPackageNoEntry && plan.steps[i].action == PlanAction::kReplaceFile) {
            plannedReplace_[indices_[i]] = true;
        }
    }
    scratchBase_ = plan.scratchBase;
    return 0;
}

// Second pass: the work, in the order given. An unknown entry is skipped and fails the call; a
// failing one stops the pass. Only names and paths of one entry at a time are allocated here.
int32_t EntryRun::Work() {
    bool ok = true;
    try {
        for (uint32_t i = 0; i < indices_.size(); ++i) {
            currentIndex_ = indices_[i];
            if (currentIndex_ == kPackageNoEntry) {
                ok = false;
                Fail(PackageFault::kNotInCatalogue);
                continue;
            }
            entryBytes_ = archive_.catalogue()[currentIndex_].CompressedTotal();
            if (RunCurrentEntry(target_, *blocks_) != 0) {
                ok = false;
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        ok = false;
        Fail(PackageFault::kOutOfMemory);
    }
    peakBlocksInFlight_ = blocks_->PeakBlocksInFlight();
    blocks_.reset();
    reader_->ReadAheadTo(0);
    return ok ? 0 : -1;
}

int32_t EntryRun::RunCurrentEntry(const char16_t* targetDirectory, BlockSource& blocks) {
    const PackageEntry& entry = archive_.catalogue()[currentIndex_];
    if (kind_ == Kind::kScan) {
        if (entry.IsDirectory()) {
            return 0;
        }
        if (blocks.NextEntry() != 0) {
            return Fail(PackageFault::kSeek);
        }
        return ProcessEntryData(blocks, nullptr, currentIndex_ == keepEntry_ ? kept_ : nullptr);
    }
    if (!entry.IsDirectory()) {
        return kind_ == Kind::kExtract ? ExtractCurrentEntry(targetDirectory, blocks)
                                       : VerifyCurrentEntry(targetDirectory, blocks);
    }
    if (kind_ == Kind::kExtract) {
        return MakeDirectoryEntry(targetDirectory);
    }
    std::u16string name, target, path;
    int32_t result = CurrentWideName(name, nullptr);
    if (result == 0 && targetDirectory != nullptr) {
        result = JoinTarget(targetDirectory, name, path, target);
    }
    return result;
}

int32_t EntryRun::CheckPlan(PackageEntry* const* entries, uint32_t count,
                            const char16_t* targetDirectory, bool manifestRules) {
    std::u16string fallback;
    if (targetDirectory == nullptr && !manifestRules) {
        // Extraction without a target writes into the package's default directory.
        if (archive_.DefaultTargetDirectory(fallback) != 0) {
            return Fail(PackageFault::kNoTarget);
        }
        targetDirectory = fallback.c_str();
    }
    // Entries outside the catalogue are skipped (the extraction fails on them later); an entry
    // listed twice is written twice to its one path, which is no conflict.
    std::vector<PackageEntry*> known;
    std::vector<bool> listed(archive_.catalogue().size(), false);
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t index = archive_.FindEntryIndex(entries[i]);
        if (index != kPackageNoEntry && !listed[index]) {
            listed[index] = true;
            known.push_back(entries[i]);
        }
    }
    PlanOptions options;
    options.target = targetDirectory;
    options.tree = PlanTree::kKeep;
    options.manifestRules = manifestRules;
    options.verdictOnly = true;
    options.limitFolder = archive_.limitFolder().empty() ? nullptr : archive_.limitFolder().c_str();
    InstallPlan plan;
    plannedReplace_.assign(archive_.catalogue().size(), false);
    if (PlanEntries(known.data(), static_cast<uint32_t>(known.size()), options, plan) != 0) {
        scratchBase_ = plan.scratchBase;
        for (uint32_t i = 0; i < known.size(); ++i) {
            if (plan.replaces[i]) {
                plannedReplace_[archive_.FindEntryIndex(known[i])] = true;
            }
        }
        return 0;
    }
    if (plan.faultEntry < known.size()) {
        currentIndex_ = archive_.FindEntryIndex(known[plan.faultEntry]);
    }
    switch (plan.fault) {
        case PlanFault::kDotLevel:
        case PlanFault::kReservedName:
            return Fail(PackageFault::kUnsafeName);
        case PlanFault::kPathTooLong:
            return Fail(PackageFault::kPathTooLong, 0, kPackagePathCapacity - 1);
        default:
            Fail(PackageFault::kPlanRefused);
            problem_.plan = plan.fault;
            return -1;
    }
}

int32_t EntryRun::CurrentWideName(std::u16string& name, const PackageName* local) {
    const PackageEntry& entry = archive_.catalogue()[currentIndex_];
    name.clear();
    PackageName stored;
    if (archive_.ReadRunName(entry, local, stored) != 0) {
        return Fail(PackageFault::kShortRead);  // the package changed since it was opened
    }
    const NameFault fault =
        CheckStoredName(stored.stored(), entry.IsDirectory(), &name, NameUse::kRead);
    if (fault == NameFault::kNotText) {
        Fail(PackageFault::kPlanRefused);
        problem_.plan = PlanFault::kNameNotText;
        return -1;
    }
    if (fault != NameFault::kNone) {
        return Fail(PackageFault::kUnsafeName);
    }
    return 0;
}

int32_t EntryRun::JoinTarget(const char16_t* targetDirectory, const std::u16string& name,
                             std::u16string& path, std::u16string& target) {
    if (targetDirectory == nullptr) {
        if (archive_.DefaultTargetDirectory(target) != 0) {
            return Fail(PackageFault::kNoTarget);
        }
    } else {
        target = targetDirectory;
    }
    // Plain concatenation: the target directory is expected to end with `\`. The device's limit
    // counts the target, or the device folder it stands for.
    const std::size_t counted =
        (archive_.limitFolder().empty() ? target.size() : archive_.limitFolder().size()) +
        name.size();
    if (counted >= kPackagePathCapacity) {
        return Fail(PackageFault::kPathTooLong, 0, kPackagePathCapacity - 1, counted);
    }
    path = target + name;
    return 0;
}

int32_t EntryRun::MakeDirectoryEntry(const char16_t* targetDirectory) {
    std::u16string name, target, path;
    if (CurrentWideName(name, nullptr) != 0 ||
        JoinTarget(targetDirectory, name, path, target) != 0) {
        return -1;
    }
    if (!path.empty() && path.back() == u'\\') {
        path.pop_back();
    }
    if (makeDirectory_ != nullptr && makeDirectory_(path.c_str()) == 0 &&
        platform::GetAttributes(path.c_str()) == platform::kInvalidFileAttributes) {
        // Its parents are missing: made at every `\` of the name, as for a file.
        MakeParentDirectories(target, name);
        makeDirectory_(path.c_str());
    }
    return 0;  // an existing directory is no failure
}

std::ptrdiff_t EntryRun::LimitShift(const PackageArchive& archive, const std::u16string& target) {
    const std::u16string& folder = archive.limitFolder();
    return folder.empty() ? 0
                          : static_cast<std::ptrdiff_t>(folder.size()) -
                                static_cast<std::ptrdiff_t>(target.size());
}

void EntryRun::MakeParentDirectories(const std::u16string& target, const std::u16string& name) {
    if (makeDirectory_ == nullptr) {
        return;
    }
    std::u16string path = target;
    std::size_t start = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != u'\\') {
            continue;
        }
        if (i > start) {  // an empty piece (leading or doubled `\`) makes no call
            path.append(name, start, i - start);
            makeDirectory_(path.c_str());
            path += u'\\';
        }
        start = i + 1;
    }
}

int32_t EntryRun::ExtractCurrentEntry(const char16_t* targetDirectory, BlockSource& blocks) {
    if (currentIndex_ >= archive_.catalogue().size()) {
        return -1;
    }
    std::u16string name, target, path;
    // Names and lengths are checked before anything is created; the name comes with the data.
    const bool reached = blocks.NextEntry() == 0;
    if (CurrentWideName(name, blocks.LocalName()) != 0 ||
        JoinTarget(targetDirectory, name, path, target) != 0) {
        return -1;
    }
    if (!reached) {
        return Fail(PackageFault::kSeek);
    }

    // A file that exists already is replaced only by a complete, checked copy: the data go to a
    // scratch file beside it, renamed over it at the end. An interrupted or failed entry (a power
    // loss, a full volume) so never leaves a file half old, half new, such as a version record
    // that no longer names any version. A new file is created in place, exclusively: the plan
    // says which is which, and should something have appeared at the path since, it is replaced
    // like an existing file. A version record is always written through a scratch copy, so that
    // even a new one is there whole or not at all.
    bool replacing = (currentIndex_ < plannedReplace_.size() && plannedReplace_[currentIndex_]) ||
                     IsManifestName(name);
    ArchiveFile created(path.c_str());
    if (!replacing && created.Open(ArchiveFile::kCreate) != 0) {
        created.Close();
        replacing = platform::GetAttributes(path.c_str()) != platform::kInvalidFileAttributes;
        if (!replacing) {
            MakeParentDirectories(target, name);
            if (created.Open(ArchiveFile::kCreate) != 0) {
                created.Close();
                return Fail(PackageFault::kOpenOutput);
            }
        }
    }
    if (!replacing) {
        // Blocks are written whole: the stream's own buffer would only add a copy and, on its
        // first use, a system call to size it.
        std::setvbuf(created.stream(), nullptr, _IONBF, 0);
        int32_t result = ProcessEntryData(blocks, &created);
        // Data still buffered in the stream must reach the file, or the entry is not complete.
        if (result == 0 && std::fflush(created.stream()) != 0) {
            result = Fail(PackageFault::kShortWrite, 0,
                          archive_.catalogue()[currentIndex_].UncompressedTotal());
        }
        created.Close();
        return result;
    }
    int32_t result = 0;
    const auto write = [&](std::FILE* stream) {
        std::setvbuf(stream, nullptr, _IONBF, 0);
        ArchiveFile output(stream, path.c_str());
        result = ProcessEntryData(blocks, &output);
        return result == 0;
    };
    platform::ScratchRule rule = PlanScratchRule(LimitShift(archive_, target), scratchBase_);
    rule.record = scratchRecord_;
    platform::ReplaceResult replaced = platform::ReplaceFile(path.c_str(), rule, write);
    if (replaced == platform::ReplaceResult::kCreate) {
        MakeParentDirectories(target, name);
        replaced = platform::ReplaceFile(path.c_str(), rule, write);
    }
    switch (replaced) {
        case platform::ReplaceResult::kReplaced:
            return 0;
        case platform::ReplaceResult::kNoScratchPath:
            return Fail(PackageFault::kPathTooLong, 0, kPackagePathCapacity - 1);
        case platform::ReplaceResult::kWrite:
            return result;
        case platform::ReplaceResult::kCommit:
            return Fail(PackageFault::kShortWrite, 0,
                        archive_.catalogue()[currentIndex_].UncompressedTotal());
        case platform::ReplaceResult::kCreate:
        case platform::ReplaceResult::kRename:
            break;
    }
    return Fail(PackageFault::kOpenOutput);
}

int32_t EntryRun::VerifyCurrentEntry(const char16_t* targetDirectory, BlockSource& blocks) {
    std::u16string name;
    const bool reached = blocks.NextEntry() == 0;
    if (CurrentWideName(name, blocks.LocalName()) != 0) {
        return -1;
    }
    if (targetDirectory != nullptr) {
        // The same path checks as extraction (the plan checked the rest before the first entry).
        std::u16string target, path;
        if (JoinTarget(targetDirectory, name, path, target) != 0) {
            return -1;
        }
    }
    if (!reached) {
        return Fail(PackageFault::kSeek);
    }
    return ProcessEntryData(blocks, nullptr);
}

int32_t EntryRun::ProcessEntryData(BlockSource& blocks, ArchiveFile* output,
                                   std::vector<uint8_t>* keep) {
    entryDoneBytes_ = 0;
    const PackageEntry& entry = archive_.catalogue()[currentIndex_];
    const std::span<const PackageBlock> table = entry.blocks();
    uint32_t crc = 0;
    uint32_t firstBlock = 1;
    for (uint32_t j = 0; j < table.size(); ++j) {
        const DecodedBlock block = blocks.NextBlock();
        if (block.fault != PackageFault::kNone) {
            return Fail(block.fault, j, block.expected, block.actual);
        }
        crc = block_codec::Crc32Combine(crc, block.crc, block.length);
        if (output != nullptr && output->Write(block.data, block.length) != 0) {
            return Fail(PackageFault::kShortWrite, j, block.length, 0);
        }
        if (keep != nullptr) {
            keep->insert(keep->end(), block.data, block.data + block.length);
        }
        ReportBlockDone(entry, table[j].compressedSize, firstBlock);
    }
    if (crc != entry.crc()) {
        return Fail(PackageFault::kCrcMismatch, static_cast<uint32_t>(table.size()), entry.crc(),
                    crc);
    }
    return 0;
}

void EntryRun::ReportBlockDone(const PackageEntry& entry, uint32_t compressedSize,
                               uint32_t& firstBlock) {
    doneBytes_ += compressedSize;
    entryDoneBytes_ += compressedSize;
    if (progress_.report != nullptr) {
        if (reportedIndex_ != currentIndex_) {
            PackageName name;
            // One no longer readable was refused before its data.
            archive_.ReadRunName(entry, blocks_ != nullptr ? blocks_->LocalName() : nullptr, name);
            reportedName_[0] = 0;
            NarrowToWide(name.text, reportedName_, kPackagePathCapacity);
            reportedName_[kPackagePathCapacity - 1] = 0;
            reportedIndex_ = currentIndex_;
        }
        progress_.report(progress_.context, totalBytes_, doneBytes_, reportedName_, entryBytes_,
                         entryDoneBytes_, firstBlock != 0);
    }
    firstBlock = 0;
}

int32_t EntryRun::Fail(PackageFault fault, uint32_t block, uint64_t expected, uint64_t actual) {
    problem_ = {fault, currentIndex_, block, expected, actual};
    return -1;
}
