// Extraction of catalogue entries: directories are created, files inflated block by block, sized,
// CRC-checked and written. Verification runs the same loop without an output file.
#include <cstdio>
#include <cstring>

#include "package/block_codec.h"
#include "package/block_pipeline.h"
#include "package/install_plan.h"
#include "package/name_rules.h"
#include "package/package_archive.h"
#include "package/verify.h"
#include "platform/file.h"
#include "platform/text.h"

namespace {

uint32_t WideLength(const char16_t* text) {
    return static_cast<uint32_t>(platform::U16Length(text));
}

}  // namespace

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
    problem_ = {PackageFault::kNone, kPackageNoEntry, 0, 0, 0};
    if (count == 0 || entries == nullptr) {
        return -1;
    }
    bool ok = true;
    // Makes the entry current; an entry outside the catalogue fails the call, and is skipped.
    const auto enter = [&](const PackageEntry* entry) {
        currentIndex_ = FindEntryIndex(entry);
        if (currentIndex_ != kPackageNoEntry) {
            return true;
        }
        ok = false;
        Fail(PackageFault::kNotInCatalogue);
        return false;
    };
    uint64_t blocks = 0;
    // First pass: the compressed total of the whole call, for the progress counters.
    for (uint32_t i = 0; i < count; ++i) {
        if (!enter(entries[i])) {
            continue;
        }
        totalBytes_ += entries_[currentIndex_].CompressedTotal();
        blocks += entries_[currentIndex_].blocks().size();
    }
    // Nothing is written unless every entry can be written exactly as planned.
    if (run != Run::kScan && CheckPlan(entries, count, targetDirectory, !write) != 0) {
        return -1;
    }
    // Blocks are decoded ahead on other threads when there are several; everything below stays
    // on this thread and in this order.
    StartPipeline(entries, count, write, blocks);
    // Second pass: the work, in the order given. An unknown entry is skipped; a failing one
    // stops the pass.
    for (uint32_t i = 0; i < count; ++i) {
        if (!enter(entries[i])) {
            continue;
        }
        const PackageEntry& entry = entries_[currentIndex_];
        entryBytes_ = entry.CompressedTotal();
        int32_t result = 0;
        if (run == Run::kScan) {
            if (!entry.IsDirectory()) {
                result =
                    EnterEntryData() != 0
                        ? Fail(PackageFault::kSeek)
                        : ProcessEntryData(nullptr, currentIndex_ == keepEntry_ ? kept_ : nullptr);
            }
        } else if (!entry.IsDirectory()) {
            result =
                write ? ExtractCurrentEntry(targetDirectory) : VerifyCurrentEntry(targetDirectory);
        } else if (write) {
            result = MakeDirectoryEntry(targetDirectory);
        } else {
            char16_t name[kPackagePathCapacity];
            char16_t target[kPackagePathCapacity];
            char16_t path[kPackagePathCapacity];
            result = CurrentWideName(name);
            if (result == 0 && targetDirectory != nullptr) {
                result = JoinTarget(targetDirectory, name, path, target);
            }
        }
        if (result != 0) {
            ok = false;
            break;
        }
    }
    StopPipeline();
    return ok ? 0 : -1;
}

int32_t PackageArchive::CurrentWideName(char16_t* name) {
    const PackageEntry& entry = entries_[currentIndex_];
    std::memset(name, 0, kPackagePathCapacity * sizeof(char16_t));
    std::u16string wide;
    const NameFault fault = CheckStoredName(entry.storedName(), entry.IsDirectory(), &wide);
    if (fault == NameFault::kNotText) {
        return Fail(PackageFault::kPathTooLong, 0, kPackagePathCapacity - 1);
    }
    if (fault != NameFault::kNone) {
        return Fail(PackageFault::kUnsafeName);
    }
    std::memcpy(name, wide.data(), wide.size() * sizeof(char16_t));
    return 0;
}

int32_t PackageArchive::JoinTarget(const char16_t* targetDirectory, const char16_t* name,
                                   char16_t* path, char16_t* target) {
    std::memset(target, 0, kPackagePathCapacity * sizeof(char16_t));
    if (targetDirectory == nullptr) {
        if (DefaultTargetDirectory(target) != 0) {
            return Fail(PackageFault::kNoTarget);
        }
    } else {
        const uint32_t length = WideLength(targetDirectory);
        if (length >= kPackagePathCapacity) {
            return Fail(PackageFault::kPathTooLong, 0, kPackagePathCapacity - 1, length);
        }
        std::memcpy(target, targetDirectory, length * sizeof(char16_t));
    }
    // Plain concatenation: the target directory is expected to end with `\`.
    const uint32_t targetLength = WideLength(target);
    const uint32_t nameLength = WideLength(name);
    if (targetLength + nameLength >= kPackagePathCapacity) {
        return Fail(PackageFault::kPathTooLong, 0, kPackagePathCapacity - 1,
                    targetLength + nameLength);
    }
    std::memset(path, 0, kPackagePathCapacity * sizeof(char16_t));
    std::memcpy(path, target, targetLength * sizeof(char16_t));
    std::memcpy(path + targetLength, name, nameLength * sizeof(char16_t));
    return 0;
}

int32_t PackageArchive::MakeDirectoryEntry(const char16_t* targetDirectory) {
    char16_t name[kPackagePathCapacity];
    char16_t target[kPackagePathCapacity];
    char16_t path[kPackagePathCapacity];
    if (CurrentWideName(name) != 0 || JoinTarget(targetDirectory, name, path, target) != 0) {
        return -1;
    }
    const uint32_t length = WideLength(path);
    if (length > 0 && path[length - 1] == u'\\') {
        path[length - 1] = 0;
    }
    if (makeDirectory_ != nullptr && makeDirectory_(path) == 0 &&
        platform::GetAttributes(path) == platform::kInvalidFileAttributes) {
        // Its parents are missing: made at every `\` of the name, as for a file.
        MakeParentDirectories(target, name);
        makeDirectory_(path);
    }
    return 0;  // an existing directory is no failure
}

void PackageArchive::MakeParentDirectories(const char16_t* target, const char16_t* name) {
    if (makeDirectory_ == nullptr) {
        return;
    }
    // The joined path fits 259 units, and this path is never longer than it.
    char16_t path[kPackagePathCapacity] = {};
    uint32_t length = WideLength(target);
    std::memcpy(path, target, length * sizeof(char16_t));
    uint32_t start = 0;
    for (uint32_t i = 0; name[i] != 0; ++i) {
        if (name[i] != u'\\') {
            continue;
        }
        if (i > start) {  // an empty piece (leading or doubled `\`) makes no call
            std::memcpy(path + length, name + start, (i - start) * sizeof(char16_t));
            length += i - start;
            path[length] = 0;
            makeDirectory_(path);
            path[length++] = u'\\';
            path[length] = 0;
        }
        start = i + 1;
    }
}

int32_t PackageArchive::ExtractCurrentEntry(const char16_t* targetDirectory) {
    if (currentIndex_ >= entries_.size()) {
        return -1;
    }
    char16_t name[kPackagePathCapacity];
    char16_t target[kPackagePathCapacity];
    char16_t path[kPackagePathCapacity];
    // Names and lengths are checked before anything is created.
    if (CurrentWideName(name) != 0 || JoinTarget(targetDirectory, name, path, target) != 0) {
        return -1;
    }
    if (EnterEntryData() != 0) {
        return Fail(PackageFault::kSeek);
    }

    // A file that exists already is replaced only by a complete, checked copy: the data go to a
    // scratch file beside it, renamed over it at the end. An interrupted or failed entry (a power
    // loss, a full volume) so never leaves a file half old, half new, such as a version record
    // that no longer names any version. A new file is created in place, exclusively: the plan
    // says which is which, and should something have appeared at the path since, it is replaced
    // like an existing file.
    bool replacing = currentIndex_ < plannedReplace_.size() && plannedReplace_[currentIndex_];
    ArchiveFile created(path);
    if (!replacing && created.Open(ArchiveFile::kCreate) != 0) {
        created.Close();
        replacing = platform::GetAttributes(path) != platform::kInvalidFileAttributes;
        if (!replacing) {
            MakeParentDirectories(target, name);
            if (created.Open(ArchiveFile::kCreate) != 0) {
                created.Close();
                return Fail(PackageFault::kOpenOutput);
            }
        }
    }
    char16_t scratch[kPackagePathCapacity] = {};
    if (replacing && !PlanScratchPath(path, scratch)) {
        return Fail(PackageFault::kPathTooLong, 0, kPackagePathCapacity - 1);
    }
    ArchiveFile replacement(scratch);
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
    int32_t result = ProcessEntryData(&output);
    // Data still buffered in the stream must reach the file, or the entry is not complete; a
    // replacement must be on the disk before the rename makes it the file.
    if (result == 0 && (replacing ? !platform::CommitStream(output.stream())
                                  : std::fflush(output.stream()) != 0)) {
        result = Fail(PackageFault::kShortWrite, 0, entries_[currentIndex_].UncompressedTotal());
    }
    output.Close();
    if (replacing && result == 0 && !platform::RenameReplacing(scratch, path)) {
        result = Fail(PackageFault::kOpenOutput);
    }
    if (result != 0) {
        if (replacing) {
            platform::RemoveFile(scratch);
        }
        return -1;
    }
    if (LeaveEntryData() != 0) {
        return Fail(PackageFault::kSeek);
    }
    return 0;
}

int32_t PackageArchive::VerifyCurrentEntry(const char16_t* targetDirectory) {
    char16_t name[kPackagePathCapacity];
    if (CurrentWideName(name) != 0) {
        return -1;
    }
    if (targetDirectory != nullptr) {
        // The same path checks as extraction (the plan checked the rest before the first entry).
        char16_t target[kPackagePathCapacity];
        char16_t path[kPackagePathCapacity];
        if (JoinTarget(targetDirectory, name, path, target) != 0) {
            return -1;
        }
    }
    if (EnterEntryData() != 0) {
        return Fail(PackageFault::kSeek);
    }
    return ProcessEntryData(nullptr);
}

int32_t PackageArchive::ProcessEntryData(ArchiveFile* output, std::vector<uint8_t>* keep) {
    entryDoneBytes_ = 0;
    if (pipeline_ != nullptr) {
        return ProcessPipelinedData(output, keep);
    }
    const PackageEntry& entry = entries_[currentIndex_];
    uint8_t input[kPackageMaxCompressedBlock];
    uint32_t crc = 0;
    uint32_t firstBlock = 1;
    const std::span<const PackageBlock> blocks = entry.blocks();
    for (uint32_t j = 0; j < blocks.size(); ++j) {
        const PackageBlock& block = blocks[j];
        if (block.compressedSize > sizeof input) {
            return Fail(PackageFault::kShortRead, j, block.compressedSize, sizeof input);
        }
        const uint32_t got = Read(input, block.compressedSize);
        if (got < block.compressedSize) {
            return Fail(PackageFault::kShortRead, j, block.compressedSize, got);
        }
        const BlockVerdict verdict =
            DecodeBlock(input, got, block.uncompressedSize, workBuffer_.get());
        if (verdict.fault != PackageFault::kNone) {
            return Fail(verdict.fault, j, verdict.expected, verdict.actual);
        }
        const uint32_t length = verdict.length;
        crc = block_codec::Crc32Combine(crc, verdict.crc, length);
        workLength_ = length;
        if (output != nullptr && output->Write(workBuffer_.get(), workLength_) != 0) {
            return Fail(PackageFault::kShortWrite, j, workLength_, 0);
        }
        if (keep != nullptr) {
            keep->insert(keep->end(), workBuffer_.get(), workBuffer_.get() + length);
        }
        ReportBlockDone(entry, block.compressedSize, firstBlock);
    }
    if (crc != entry.crc()) {
        return Fail(PackageFault::kCrcMismatch, static_cast<uint32_t>(blocks.size()), entry.crc(),
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

int32_t PackageArchive::SeekToEntryData(int32_t* offset) {
    return SeekToDataOf(currentIndex_, offset);
}

int32_t PackageArchive::SeekToDataOf(uint32_t t, int32_t* offset) {
    const uint32_t n = static_cast<uint32_t>(entries_.size());
    if (t >= n) {
        return -1;
    }
    if (!prefixed_) {
        // Records and data of entries 0..t-1, then entry t's own local record.
        const uint32_t sum = localPrefix_[t + 1] + dataPrefix_[t];
        if (SeekTo(sum) != 0) {
            return -1;
        }
        *offset = static_cast<int32_t>(sum);
        return 0;
    }
    // Prefixed: back from the directory over the data of entries t..n-1 and the local records
    // of entries t+1..n-1. Measured from the END record's position found at open, so a position
    // left anywhere by an earlier failed call cannot shift it.
    const uint32_t sum =
        (dataPrefix_[n] - dataPrefix_[t]) + (localPrefix_[n] - localPrefix_[t + 1]);
    const int64_t target = endRecordPosition_ - endRecord_.directorySize - sum;
    if (SeekTo(target) != 0) {
        return -1;
    }
    *offset = static_cast<int32_t>(sum);
    return 0;
}
