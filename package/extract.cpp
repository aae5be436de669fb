// Extraction of catalogue entries: directories are created, files inflated block by block, sized,
// CRC-checked and written. Verification runs the same loop without an output file.
#include <climits>
#include <cstdio>
#include <cstring>

#include "package/block_codec.h"
#include "package/block_pipeline.h"
#include "package/block_source.h"
#include "package/install_plan.h"
#include "package/name_rules.h"
#include "package/package_archive.h"
#include "platform/file.h"
#include "platform/text.h"

int32_t PackageArchive::ExtractEntries(PackageEntry* const* entries, uint32_t count,
                                       const char16_t* targetDirectory) {
    return RunEntries(entries, count, targetDirectory, Run::kExtract);
}

int32_t PackageArchive::VerifyEntries(PackageEntry* const* entries, uint32_t count,
                                      const char16_t* targetDirectory) {
    return RunEntries(entries, count, targetDirectory, Run::kVerify);
}

int32_t PackageArchive::ScanEntries(ByteSource& stream, uint32_t keepEntry,
                                    std::vector<uint8_t>* kept) {
    reader_ = &stream;
    keepEntry_ = keepEntry;
    kept_ = kept;
    const int32_t result = RunEntries(entryArray_.data(), static_cast<uint32_t>(entryArray_.size()),
                                      nullptr, Run::kScan);
    reader_ = nullptr;
    kept_ = nullptr;
    return result;
}

int32_t PackageArchive::RunEntries(PackageEntry* const* entries, uint32_t count,
                                   const char16_t* targetDirectory, Run run) {
    const bool write = run == Run::kExtract;
    doneBytes_ = 0;
    totalBytes_ = 0;
    peakBlocksInFlight_ = 0;
    problem_ = {PackageFault::kNone, kPackageNoEntry, 0, 0, 0};
    if (count == 0 || entries == nullptr) {
        return -1;
    }
    // First pass: the catalogue index of every item and the compressed total of the whole call,
    // for the progress counters.
    std::vector<uint16_t> indices(count);
    uint64_t blockCount = 0;
    uint32_t files = 0;
    for (uint32_t i = 0; i < count; ++i) {
        indices[i] = FindEntryIndex(entries[i]);
        if (indices[i] == kPackageNoEntry) {
            continue;
        }
        const PackageEntry& entry = entries_[indices[i]];
        totalBytes_ += entry.CompressedTotal();
        blockCount += entry.blocks().size();
        files += entry.IsDirectory() ? 0 : 1;
    }
    // Nothing is written unless every entry can be written exactly as planned.
    if (run != Run::kScan && CheckPlan(entries, count, targetDirectory, !write) != 0) {
        return -1;
    }
    // The data of the file entries in the order they are taken. Reads go ahead through a stretch
    // of items that are neighbours in the package too (the local records between them included),
    // never past it.
    std::vector<EntryData> data(files);
    int64_t aheadEnd = 0;
    for (uint32_t i = count, file = files; i-- > 0;) {
        const uint16_t index = indices[i];
        if (index == kPackageNoEntry) {
            continue;
        }
        const PackageEntry& entry = entries_[index];
        const int64_t start = DataStart(index);
        const bool joined =
            i + 1 < count && indices[i + 1] != kPackageNoEntry && indices[i + 1] == index + 1u;
        if (!joined) {
            aheadEnd = start < 0 ? 0 : start + entry.CompressedTotal();
        }
        if (!entry.IsDirectory()) {
            data[--file] = {start, entry.blocks(), aheadEnd};
        }
    }
    ByteSource& reader = reader_ != nullptr ? *reader_ : *source_;
    // Blocks are decoded ahead on other threads when the job count says so; everything below
    // stays on this thread and in this order.
    std::unique_ptr<BlockSource> blocks;
    if (const uint32_t threads = PipelinedBlocks::Threads(jobs_, write, totalBytes_, blockCount);
        threads > 1) {
        blocks = PipelinedBlocks::Make(threads, reader, data);
    }
    if (blocks == nullptr) {
        blocks = std::make_unique<SerialBlocks>(reader, data);
    }
    // Second pass: the work, in the order given. An unknown entry is skipped and fails the call;
    // a failing one stops the pass.
    bool ok = true;
    for (uint32_t i = 0; i < count; ++i) {
        currentIndex_ = indices[i];
        if (currentIndex_ == kPackageNoEntry) {
            ok = false;
            Fail(PackageFault::kNotInCatalogue);
            continue;
        }
        entryBytes_ = entries_[currentIndex_].CompressedTotal();
        if (RunCurrentEntry(run, targetDirectory, *blocks) != 0) {
            ok = false;
            break;
        }
    }
    peakBlocksInFlight_ = blocks->PeakBlocksInFlight();
    blocks.reset();
    reader.ReadAheadTo(0);
    return ok ? 0 : -1;
}

int32_t PackageArchive::RunCurrentEntry(Run run, const char16_t* targetDirectory,
                                        BlockSource& blocks) {
    const PackageEntry& entry = entries_[currentIndex_];
    if (run == Run::kScan) {
        if (entry.IsDirectory()) {
            return 0;
        }
        if (blocks.NextEntry() != 0) {
            return Fail(PackageFault::kSeek);
        }
        return ProcessEntryData(blocks, nullptr, currentIndex_ == keepEntry_ ? kept_ : nullptr);
    }
    if (!entry.IsDirectory()) {
        return run == Run::kExtract ? ExtractCurrentEntry(targetDirectory, blocks)
                                    : VerifyCurrentEntry(targetDirectory, blocks);
    }
    if (run == Run::kExtract) {
        return MakeDirectoryEntry(targetDirectory);
    }
    std::u16string name, target, path;
    int32_t result = CurrentWideName(name);
    if (result == 0 && targetDirectory != nullptr) {
        result = JoinTarget(targetDirectory, name, path, target);
    }
    return result;
}

int32_t PackageArchive::CheckPlan(PackageEntry* const* entries, uint32_t count,
                                  const char16_t* targetDirectory, bool manifestRules) {
    std::u16string fallback;
    if (targetDirectory == nullptr && !manifestRules) {
        // Extraction without a target writes into the package's default directory.
        if (DefaultTargetDirectory(fallback) != 0) {
            return Fail(PackageFault::kNoTarget);
        }
        targetDirectory = fallback.c_str();
    }
    // Entries outside the catalogue are skipped (the extraction fails on them later); an entry
    // listed twice is written twice to its one path, which is no conflict.
    std::vector<PackageEntry*> known;
    std::vector<bool> listed(entries_.size(), false);
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t index = FindEntryIndex(entries[i]);
        if (index != kPackageNoEntry && !listed[index]) {
            listed[index] = true;
            known.push_back(entries[i]);
        }
    }
    PlanOptions options;
    options.target = targetDirectory;
    options.tree = PlanTree::kKeep;
    options.manifestRules = manifestRules;
    options.limitFolder = limitFolder_.empty() ? nullptr : limitFolder_.c_str();
    InstallPlan plan;
    plannedReplace_.assign(entries_.size(), false);
    if (PlanEntries(known.data(), static_cast<uint32_t>(known.size()), options, plan) != 0) {
        for (const PlanStep& step : plan.steps) {
            if (step.action == PlanAction::kReplaceFile) {
                plannedReplace_[FindEntryIndex(known[step.entry])] = true;
            }
        }
        return 0;
    }
    if (plan.faultEntry < known.size()) {
        currentIndex_ = FindEntryIndex(known[plan.faultEntry]);
    }
    switch (plan.fault) {
        case PlanFault::kDotLevel:
        case PlanFault::kReservedName:
            return Fail(PackageFault::kUnsafeName);
        case PlanFault::kNameNotText:
        case PlanFault::kPathTooLong:
            return Fail(PackageFault::kPathTooLong, 0, kPackagePathCapacity - 1);
        default:
            Fail(PackageFault::kPlanRefused);
            problem_.plan = plan.fault;
            return -1;
    }
}

int32_t PackageArchive::CurrentWideName(std::u16string& name) {
    const PackageEntry& entry = entries_[currentIndex_];
    name.clear();
    const NameFault fault =
        CheckStoredName(entry.storedName(), entry.IsDirectory(), &name, NameUse::kRead);
    if (fault == NameFault::kNotText) {
        return Fail(PackageFault::kPathTooLong, 0, kPackagePathCapacity - 1);
    }
    if (fault != NameFault::kNone) {
        return Fail(PackageFault::kUnsafeName);
    }
    return 0;
}

int32_t PackageArchive::JoinTarget(const char16_t* targetDirectory, const std::u16string& name,
                                   std::u16string& path, std::u16string& target) {
    if (targetDirectory == nullptr) {
        if (DefaultTargetDirectory(target) != 0) {
            return Fail(PackageFault::kNoTarget);
        }
    } else {
        target = targetDirectory;
    }
    // Plain concatenation: the target directory is expected to end with `\`. The device's limit
    // counts the target, or the device folder it stands for.
    const std::size_t counted =
        (limitFolder_.empty() ? target.size() : limitFolder_.size()) + name.size();
    if (counted >= kPackagePathCapacity) {
        return Fail(PackageFault::kPathTooLong, 0, kPackagePathCapacity - 1, counted);
    }
    path = target + name;
    return 0;
}

int32_t PackageArchive::MakeDirectoryEntry(const char16_t* targetDirectory) {
    std::u16string name, target, path;
    if (CurrentWideName(name) != 0 || JoinTarget(targetDirectory, name, path, target) != 0) {
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

void PackageArchive::MakeParentDirectories(const std::u16string& target,
                                           const std::u16string& name) {
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

int32_t PackageArchive::ExtractCurrentEntry(const char16_t* targetDirectory, BlockSource& blocks) {
    if (currentIndex_ >= entries_.size()) {
        return -1;
    }
    std::u16string name, target, path;
    // Names and lengths are checked before anything is created.
    if (CurrentWideName(name) != 0 || JoinTarget(targetDirectory, name, path, target) != 0) {
        return -1;
    }
    if (blocks.NextEntry() != 0) {
        return Fail(PackageFault::kSeek);
    }

    // A file that exists already is replaced only by a complete, checked copy: the data go to a
    // scratch file beside it, renamed over it at the end. An interrupted or failed entry (a power
    // loss, a full volume) so never leaves a file half old, half new, such as a version record
    // that no longer names any version. A new file is created in place, exclusively: the plan
    // says which is which, and should something have appeared at the path since, it is replaced
    // like an existing file.
    bool replacing = currentIndex_ < plannedReplace_.size() && plannedReplace_[currentIndex_];
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
    std::u16string scratch;
    if (replacing && !PlanScratchPath(path, scratch, LimitShift(target))) {
        return Fail(PackageFault::kPathTooLong, 0, kPackagePathCapacity - 1);
    }
    ArchiveFile replacement(scratch.c_str());
    if (replacing && replacement.Open(ArchiveFile::kWrite) != 0) {
        replacement.Close();
        MakeParentDirectories(target, name);
        if (replacement.Open(ArchiveFile::kWrite) != 0) {
            replacement.Close();
            return Fail(PackageFault::kOpenOutput);
        }
    }
    ArchiveFile& output = replacing ? replacement : created;
    // Blocks are written whole: the stream's own buffer would only add a copy and, on its first
    // use, a system call to size it.
    std::setvbuf(output.stream(), nullptr, _IONBF, 0);
    int32_t result = ProcessEntryData(blocks, &output);
    // Data still buffered in the stream must reach the file, or the entry is not complete; a
    // replacement must be on the disk before the rename makes it the file.
    if (result == 0 && (replacing ? !platform::CommitStream(output.stream())
                                  : std::fflush(output.stream()) != 0)) {
        result = Fail(PackageFault::kShortWrite, 0, entries_[currentIndex_].UncompressedTotal());
    }
    output.Close();
    if (replacing && result == 0 && !platform::RenameReplacing(scratch.c_str(), path.c_str())) {
        result = Fail(PackageFault::kOpenOutput);
    }
    if (result != 0 && replacing) {
        platform::RemoveFile(scratch.c_str());
    }
    return result;
}

int32_t PackageArchive::VerifyCurrentEntry(const char16_t* targetDirectory, BlockSource& blocks) {
    std::u16string name;
    if (CurrentWideName(name) != 0) {
        return -1;
    }
    if (targetDirectory != nullptr) {
        // The same path checks as extraction (the plan checked the rest before the first entry).
        std::u16string target, path;
        if (JoinTarget(targetDirectory, name, path, target) != 0) {
            return -1;
        }
    }
    if (blocks.NextEntry() != 0) {
        return Fail(PackageFault::kSeek);
    }
    return ProcessEntryData(blocks, nullptr);
}

int32_t PackageArchive::ProcessEntryData(BlockSource& blocks, ArchiveFile* output,
                                         std::vector<uint8_t>* keep) {
    entryDoneBytes_ = 0;
    const PackageEntry& entry = entries_[currentIndex_];
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

void PackageArchive::ReportBlockDone(const PackageEntry& entry, uint32_t compressedSize,
                                     uint32_t& firstBlock) {
    doneBytes_ += compressedSize;
    entryDoneBytes_ += compressedSize;
    if (progress_.report != nullptr) {
        char16_t wideName[kPackagePathCapacity] = {};
        ConvertToWide(entry.name(), wideName, kPackagePathCapacity);
        wideName[kPackagePathCapacity - 1] = 0;
        progress_.report(progress_.context, totalBytes_, doneBytes_, wideName, entryBytes_,
                         entryDoneBytes_, firstBlock != 0);
    }
    firstBlock = 0;
}

int64_t PackageArchive::DataStart(uint32_t t) const {
    const uint32_t n = static_cast<uint32_t>(entries_.size());
    if (t >= n) {
        return -1;
    }
    if (!prefixed_) {
        // Records and data of entries 0..t-1, then entry t's own local record.
        const uint32_t sum = localPrefix_[t + 1] + dataPrefix_[t];
        return sum > INT32_MAX ? -1 : static_cast<int64_t>(sum);
    }
    // Prefixed: back from the directory over the data of entries t..n-1 and the local records
    // of entries t+1..n-1, measured from the END record's position found at open.
    const uint32_t sum =
        (dataPrefix_[n] - dataPrefix_[t]) + (localPrefix_[n] - localPrefix_[t + 1]);
    const int64_t start = endRecordPosition_ - endRecord_.directorySize - sum;
    return start < 0 ? -1 : start;
}
