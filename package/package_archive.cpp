// Reading a package's trailer, END record and directory into the catalogue.
#include "package/package_archive.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

#include "package/conversion.h"

namespace {

// The end of the directory record at `p` whose fixed part is `record` (its name and block rows
// included), or 0 when its signature is wrong, its name over the limit or its end past `size`.
uint64_t RecordEnd(const uint8_t* record, uint64_t p, uint32_t size) {
    const uint16_t nameLength = ReadLe16(record + kDirectoryNameLengthOffset);
    if (ReadLe32(record) != kPackageDirectorySignature || nameLength > kPackageMaxNameLength) {
        return 0;
    }
    const uint64_t end =
        p + kPackageDirectoryRecordSize + nameLength +
        static_cast<uint64_t>(ReadLe32(record + kDirectoryBlockCountOffset)) * kPackageBlockRowSize;
    return end <= size ? end : 0;
}

}  // namespace

PackageArchive::PackageArchive(std::unique_ptr<ByteSource> source, bool prefixed)
    : source_(std::move(source)), prefixed_(prefixed) {}

PackageArchive::~PackageArchive() = default;

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

// Back from the end: the comment's length, the comment, the END record, the directory. Each is
// read once; the catalogue and tailRest_ keep every byte of it, so a scan passes the tail on
// instead of reading it again. Only the fixed part of each directory record is read once more,
// first, to refuse a directory of overlong names before it is read whole.
int32_t PackageArchive::ReadCatalogue() {
    // Positions are signed 32-bit, so a package stays below 2 GiB.
    const int64_t size = source_->Size();
    if (size < kPackageCommentLengthSize || size > INT32_MAX) {
        return -1;
    }
    uint8_t lengthBytes[kPackageCommentLengthSize] = {};
    if (ReadAt(size - kPackageCommentLengthSize, lengthBytes, 2) != 2) {
        return -1;
    }
    const uint16_t length = ReadLe16(lengthBytes);
    // A longer comment does not fit the comment field; the package is refused, not truncated.
    if (length == 0 || length > kPackageMaxCommentLength) {
        return -1;
    }
    uint8_t end[kPackageEndRecordSize + kPackageMaxCommentLength] = {};
    const uint32_t endAndComment = kPackageEndRecordSize + length;
    endRecordPosition_ = size - kPackageCommentLengthSize - endAndComment;
    if (endRecordPosition_ < 0) {
        return -1;
    }
    if (ReadAt(endRecordPosition_, end, endAndComment) != endAndComment) {
        return -1;
    }
    std::memset(endRecord_.comment, 0, sizeof endRecord_.comment);
    for (uint32_t i = 0; i < length && end[kPackageEndRecordSize + i] != 0; ++i) {
        endRecord_.comment[i] = static_cast<char>(end[kPackageEndRecordSize + i]);
    }
    endRecord_.commentLength = length;
    endRecord_.signature = ReadLe32(end);
    endRecord_.entryCount = ReadLe16(end + 4);
    endRecord_.directorySize = ReadLe32(end + 6);
    endRecord_.directoryOffset = ReadLe32(end + 10);
    if (endRecord_.signature != kPackageEndSignature ||
        endRecord_.directorySize > endRecordPosition_) {
        return -1;
    }
    const uint32_t directory = endRecord_.directorySize;
    if (WalkDirectoryRecords(endRecordPosition_ - directory, directory) != 0) {
        return -1;
    }
    std::vector<uint8_t> bytes(directory);
    if (directory != 0 &&
        ReadAt(endRecordPosition_ - directory, bytes.data(), directory) != directory) {
        return -1;
    }
    if (ParseDirectory(bytes.data(), directory) != 0) {
        return -1;
    }
    tailRest_.assign(
        bytes.begin() + static_cast<std::ptrdiff_t>(RecordStart(endRecord_.entryCount)),
        bytes.end());
    tailRest_.insert(tailRest_.end(), end, end + endAndComment);
    tailRest_.insert(tailRest_.end(), lengthBytes, lengthBytes + kPackageCommentLengthSize);
    tailSize_ = directory + endAndComment + kPackageCommentLengthSize;
    return 0;
}

uint64_t PackageArchive::RecordStart(uint32_t k) const {
    // The name table holds each name and a NUL, the block table each row: both in record order.
    const bool last = k == entries_.size();
    const uint64_t nameBytes =
        last ? nameTable_.size() : static_cast<uint64_t>(entries_[k].name() - nameTable_.data());
    const uint64_t rows =
        last ? blockTable_.size()
             : static_cast<uint64_t>(entries_[k].blocks().data() - blockTable_.data());
    return uint64_t{kPackageDirectoryRecordSize - 1} * k + nameBytes + rows * kPackageBlockRowSize;
}

uint32_t PackageArchive::CopyTail(uint64_t offset, uint8_t* buffer, uint32_t count) const {
    const uint32_t n = static_cast<uint32_t>(entries_.size());
    const uint64_t records = RecordStart(n);
    uint32_t done = 0;
    if (offset < records) {
        // The last record that starts at or before `offset`.
        uint32_t k = 0;
        for (uint32_t high = n; high - k > 1;) {
            const uint32_t middle = k + (high - k) / 2;
            (RecordStart(middle) <= offset ? k : high) = middle;
        }
        for (uint64_t start = RecordStart(k); done < count && k < n;) {
            const PackageEntry& entry = entries_[k];
            const uint64_t at = offset + done - start;
            const uint64_t nameEnd = kPackageDirectoryRecordSize + entry.nameLength();
            const uint64_t recordEnd =
                nameEnd + uint64_t{kPackageBlockRowSize} * entry.blockCount();
            if (at >= recordEnd) {
                start += recordEnd;
                ++k;
                continue;
            }
            // The piece of the record that `at` falls in: fixed part, name or one block row.
            uint8_t piece[kPackageDirectoryRecordSize];
            const uint8_t* from = piece;
            uint64_t pieceStart = 0;
            uint64_t pieceSize = kPackageDirectoryRecordSize;
            if (at < kPackageDirectoryRecordSize) {
                entry.WriteDirectoryRecord(piece);
            } else if (at < nameEnd) {
                from = reinterpret_cast<const uint8_t*>(entry.name());
                pieceStart = kPackageDirectoryRecordSize;
                pieceSize = entry.nameLength();
            } else {
                const uint64_t row = (at - nameEnd) / kPackageBlockRowSize;
                const PackageBlock& block = entry.blocks()[row];
                WriteLe32(piece, block.uncompressedSize);
                WriteLe32(piece + 4, block.compressedSize);
                WriteLe32(piece + 8, block.reserved);
                pieceStart = nameEnd + row * kPackageBlockRowSize;
                pieceSize = kPackageBlockRowSize;
            }
            const uint32_t take = static_cast<uint32_t>(
                std::min<uint64_t>(count - done, pieceStart + pieceSize - at));
            std::memcpy(buffer + done, from + (at - pieceStart), take);
            done += take;
        }
    }
    const uint64_t rest = offset + done - records;
    if (done < count && rest < tailRest_.size()) {
        const uint32_t take =
            static_cast<uint32_t>(std::min<uint64_t>(count - done, tailRest_.size() - rest));
        std::memcpy(buffer + done, tailRest_.data() + rest, take);
        done += take;
    }
    return done;
}

// Reads only the fixed part of each directory record from the source, so that a name over the
// limit (or a record that does not fit) is refused before the directory is read and kept whole.
int32_t PackageArchive::WalkDirectoryRecords(int64_t at, uint32_t size) {
    uint64_t p = 0;
    for (uint32_t k = 0; k < endRecord_.entryCount; ++k) {
        uint8_t record[kPackageDirectoryRecordSize];
        if (p + kPackageDirectoryRecordSize > size ||
            ReadAt(at + static_cast<int64_t>(p), record, sizeof record) != sizeof record) {
            return -1;
        }
        p = RecordEnd(record, p, size);
        if (p == 0) {
            return -1;
        }
    }
    return 0;
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
    uint64_t totalCompressed = 0;
    uint64_t p = 0;
    for (uint32_t k = 0; k < count; ++k) {
        if (p + kPackageDirectoryRecordSize > size) {
            return -1;
        }
        const uint8_t* record = directory + p;
        const uint64_t end = RecordEnd(record, p, size);
        if (end == 0) {
            return -1;
        }
        const uint16_t nameLength = ReadLe16(record + kDirectoryNameLengthOffset);
        const uint64_t rows = p + kPackageDirectoryRecordSize + nameLength;
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
        // The entries' data lie one after another in a file under 2 GiB: a larger sum would wrap
        // the 32-bit positions of the later entries' data.
        totalCompressed += compressed;
        if (totalCompressed > INT32_MAX) {
            return -1;
        }
        totalBlocks += (end - rows) / kPackageBlockRowSize;
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

int32_t PackageArchive::DefaultTargetDirectory(std::u16string& destination) const {
    if (endRecord_.commentLength == 0) {
        return -1;
    }
    char16_t wide[kPackagePathCapacity] = {};
    if (NarrowToWide(endRecord_.comment, wide, kPackagePathCapacity) == 0) {
        return -1;
    }
    wide[kPackagePathCapacity - 1] = 0;
    destination = wide;
    return 0;
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
