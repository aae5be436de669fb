// Reading a package's trailer, END record and directory into the catalogue.
#include "package/package_archive.h"

#include <climits>
#include <cstring>
#include <functional>
#include <utility>

PackageArchive::PackageArchive(std::unique_ptr<ByteSource> source, bool prefixed)
    : source_(std::move(source)),
      prefixed_(prefixed),
      workBuffer_(new uint8_t[kPackageWorkBufferSize]()) {}

PackageArchive::~PackageArchive() = default;

void PackageArchive::ClearWorkBuffer() {
    std::memset(workBuffer_.get(), 0, kPackageWorkBufferSize);
    workLength_ = 0;
}

uint32_t PackageArchive::Read(void* buffer, uint32_t count) {
    const uint32_t got = reader_ != nullptr ? reader_->ReadAt(position_, buffer, count)
                                            : ReadAt(position_, buffer, count);
    position_ += got;
    return got;
}

int32_t PackageArchive::SeekTo(int64_t position) {
    if (position < 0 || position > INT32_MAX) {
        return -1;
    }
    position_ = position;
    return 0;
}

int32_t PackageArchive::BuildEntryArray(PackageEntry*** entries, uint32_t* count) {
    if (ReadCatalogue() != 0) {
        return -1;
    }
    entryArray_.reserve(entries_.size() + 1);  // never empty storage, so the array is not null
    for (PackageEntry& entry : entries_) {
        entryArray_.push_back(&entry);
    }
    *entries = entryArray_.data();
    *count = static_cast<uint32_t>(entries_.size());
    return 0;
}

int32_t PackageArchive::ReadCatalogue() {
    // Positions are signed 32-bit, so a package stays below 2 GiB.
    const int64_t size = source_->Size();
    if (size <= 0 || size > INT32_MAX) {
        return -1;
    }
    if (ReadTrailer() != 0 || ReadEndRecord() != 0) {
        return -1;
    }
    if (endRecord_.signature != kPackageEndSignature) {
        return -1;
    }
    // M + 2 is a 16-bit sum; M is at most 259 here, so it never wraps.
    const uint16_t trailer = static_cast<uint16_t>(endRecord_.commentLength + 2);
    endRecordPosition_ = size - trailer - kPackageEndRecordSize;
    const int64_t directoryStart = endRecordPosition_ - endRecord_.directorySize;
    if (SeekTo(directoryStart) != 0) {
        return -1;
    }
    return ReadDirectory();
}

int32_t PackageArchive::ReadTrailer() {
    const int64_t size = source_->Size();
    if (SeekTo(size - kPackageCommentLengthSize) != 0) {
        return -1;
    }
    uint8_t lengthBytes[2] = {};
    if (Read(lengthBytes, 2) != 2) {
        return -1;
    }
    const uint16_t length = ReadLe16(lengthBytes);
    // A longer comment does not fit the comment field; the package is refused, not truncated.
    if (length == 0 || length > kPackageMaxCommentLength) {
        return -1;
    }
    const int64_t comment = size - kPackageCommentLengthSize - length;
    if (SeekTo(comment) != 0 || Read(workBuffer_.get(), length) != length) {
        return -1;
    }
    position_ = comment;  // the END record ends where the comment begins
    endRecord_.commentLength = length;
    std::memset(endRecord_.comment, 0, sizeof endRecord_.comment);
    for (uint32_t i = 0; i < length && workBuffer_[i] != 0; ++i) {
        endRecord_.comment[i] = static_cast<char>(workBuffer_[i]);
    }
    ClearWorkBuffer();
    return 0;
}

int32_t PackageArchive::ReadEndRecord() {
    if (SeekTo(position_ - kPackageEndRecordSize) != 0) {
        return -1;
    }
    workLength_ = Read(workBuffer_.get(), kPackageEndRecordSize);
    if (workLength_ < kPackageEndRecordSize) {
        return -1;
    }
    const uint8_t* p = workBuffer_.get();
    endRecord_.signature = ReadLe32(p);
    endRecord_.entryCount = ReadLe16(p + 4);
    endRecord_.directorySize = ReadLe32(p + 6);
    endRecord_.directoryOffset = ReadLe32(p + 10);
    ClearWorkBuffer();
    return 0;
}

int32_t PackageArchive::ReadDirectory() {
    const uint32_t size = endRecord_.directorySize;
    // Up to 65,535 bytes the directory goes into the work buffer, a larger one into its own
    // buffer, released on every way out.
    std::vector<uint8_t> own;
    uint8_t* buffer = workBuffer_.get();
    if (size > kPackageWorkBufferSize) {
        own.assign(size, 0);
        buffer = own.data();
    }
    const uint32_t got = size == 0 ? 0 : Read(buffer, size);
    workLength_ = got;
    const int32_t result = got == size ? ParseDirectory(buffer, size) : -1;
    ClearWorkBuffer();
    return result;
}

// Two passes over the directory bytes: the first checks that every record, name and block table
// lies inside the directory and within the buffer limits and counts the rows and name bytes; the
// second fills the catalogue, the flat block table and the name table, sized once.
int32_t PackageArchive::ParseDirectory(const uint8_t* directory, uint32_t size) {
    const uint32_t count = endRecord_.entryCount;
    if (static_cast<uint64_t>(count) * kPackageDirectoryRecordSize > size) {
        return -1;  // entryCount claims more records than the directory can hold
    }
    uint64_t totalBlocks = 0;
    uint64_t totalNameBytes = 0;
    uint64_t p = 0;
    for (uint32_t k = 0; k < count; ++k) {
        if (p + kPackageDirectoryRecordSize > size) {
            return -1;
        }
        const uint8_t* record = directory + p;
        if (ReadLe32(record) != kPackageDirectorySignature) {
            return -1;
        }
        const uint16_t nameLength = ReadLe16(record + kDirectoryNameLengthOffset);
        const uint32_t blockCount = ReadLe32(record + kDirectoryBlockCountOffset);
        if (nameLength > kPackageMaxNameLength) {
            return -1;
        }
        const uint64_t rows = p + kPackageDirectoryRecordSize + nameLength;
        const uint64_t end = rows + static_cast<uint64_t>(blockCount) * kPackageBlockRowSize;
        if (end > size) {
            return -1;
        }
        uint64_t compressed = 0;
        uint64_t uncompressed = 0;
        for (uint64_t row = rows; row < end; row += kPackageBlockRowSize) {
            const uint32_t blockUncompressed = ReadLe32(directory + row);
            const uint32_t blockCompressed = ReadLe32(directory + row + 4);
            if (blockCompressed > kPackageMaxCompressedBlock ||
                blockUncompressed > kPackageMaxUncompressedBlock) {
                return -1;
            }
            compressed += blockCompressed;
            uncompressed += blockUncompressed;
        }
        if (compressed > UINT32_MAX || uncompressed > UINT32_MAX) {
            return -1;  // a 32-bit total would wrap (and a file could pass for a directory)
        }
        totalBlocks += blockCount;
        totalNameBytes += nameLength + 1u;
        p = end;
    }

    entries_.assign(count, PackageEntry());
    blockTable_.resize(static_cast<std::size_t>(totalBlocks));
    nameTable_.assign(static_cast<std::size_t>(totalNameBytes), 0);
    localPrefix_.assign(count + 1u, 0);
    dataPrefix_.assign(count + 1u, 0);
    std::size_t nextBlock = 0;
    std::size_t nextName = 0;
    p = 0;
    for (uint32_t k = 0; k < count; ++k) {
        PackageEntry& entry = entries_[k];
        const uint8_t* record = directory + p;
        entry.ParseDirectoryRecord(record);
        const uint32_t blockCount = ReadLe32(record + kDirectoryBlockCountOffset);
        p += kPackageDirectoryRecordSize;
        // The name ends at its first NUL byte; nameLength keeps the stored length.
        char* name = nameTable_.data() + nextName;
        std::memcpy(name, directory + p, entry.nameLength());
        entry.SetName(name);
        nextName += entry.nameLength() + 1u;
        p += entry.nameLength();
        PackageBlock* rows = blockTable_.data() + nextBlock;
        for (uint32_t j = 0; j < blockCount; ++j) {
            rows[j].uncompressedSize = ReadLe32(directory + p);
            rows[j].compressedSize = ReadLe32(directory + p + 4);
            rows[j].reserved = ReadLe32(directory + p + 8);
            p += kPackageBlockRowSize;
        }
        nextBlock += blockCount;
        entry.SetBlocks(rows, blockCount);  // totals were checked by the first pass
        localPrefix_[k + 1] = localPrefix_[k] + kPackageLocalRecordSize + entry.nameLength();
        dataPrefix_[k + 1] = dataPrefix_[k] + entry.CompressedTotal();
    }
    return 0;
}

uint16_t PackageArchive::FindEntryIndex(const PackageEntry* entry) const {
    if (entry == nullptr || entries_.empty()) {
        return kPackageNoEntry;
    }
    const PackageEntry* first = entries_.data();
    const PackageEntry* last = first + entries_.size();
    // std::less gives a total order over unrelated pointers, so foreign pointers compare safely.
    if (std::less<const PackageEntry*>()(entry, first) ||
        !std::less<const PackageEntry*>()(entry, last)) {
        return kPackageNoEntry;
    }
    const uintptr_t offset =
        reinterpret_cast<uintptr_t>(entry) - reinterpret_cast<uintptr_t>(first);
    if (offset % sizeof(PackageEntry) != 0) {
        return kPackageNoEntry;
    }
    return static_cast<uint16_t>(offset / sizeof(PackageEntry));
}

PackageEntry* PackageArchive::FindEntry(const PackageEntry* entry) {
    const uint16_t index = FindEntryIndex(entry);
    return index == kPackageNoEntry ? nullptr : &entries_[index];
}

int32_t PackageArchive::DefaultTargetDirectory(char16_t* destination) {
    if (endRecord_.commentLength == 0) {
        return -1;
    }
    char16_t wide[kPackagePathCapacity] = {};
    if (ConvertToWide(endRecord_.comment, wide, kPackagePathCapacity) == 0) {
        return -1;
    }
    std::memcpy(destination, wide, sizeof wide);
    return 0;
}

PackageArchive* PackageArchive::SetMakeDirectoryCallback(MakeDirectoryProc callback) {
    makeDirectory_ = callback;
    return this;
}

PackageArchive* PackageArchive::SetProgressCallback(ProgressProc callback) {
    plainProgress_ = callback;
    return SetProgress(callback != nullptr ? PackageProgress{&CallPlainProgress, this}
                                           : PackageProgress{});
}

PackageArchive* PackageArchive::SetProgress(const PackageProgress& progress) {
    progress_ = progress;
    return this;
}

void PackageArchive::CallPlainProgress(void* archive, uint64_t totalBytes, uint64_t doneBytes,
                                       const char16_t* name, uint64_t entryBytes,
                                       uint64_t entryDoneBytes, bool firstBlock) {
    auto word = [](uint64_t value, int shift) { return static_cast<uint32_t>(value >> shift); };
    static_cast<PackageArchive*>(archive)->plainProgress_(
        word(totalBytes, 0), word(totalBytes, 32), word(doneBytes, 0), word(doneBytes, 32), name,
        word(entryBytes, 0), word(entryBytes, 32), word(entryDoneBytes, 0),
        word(entryDoneBytes, 32), firstBlock ? 1 : 0);
}

bool PackageArchive::LastProblem(PackageProblem* problem) const {
    if (problem_.fault == PackageFault::kNone) {
        return false;
    }
    if (problem != nullptr) {
        *problem = problem_;
    }
    return true;
}

int32_t PackageArchive::Fail(PackageFault fault, uint32_t block, uint64_t expected,
                             uint64_t actual) {
    problem_ = {fault, currentIndex_, block, expected, actual};
    return -1;
}
