// Reading a package's trailer, END record and directory into the catalogue.
#include "package/package_archive.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include <sodium.h>
#include <zlib.h>

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

int32_t PackageArchive::BuildEntryArray(PackageEntry*** entries, uint32_t* count,
                                        CatalogueNameFeed* feed) {
    if (ReadCatalogue(feed) != 0) {
        return -1;
    }
    *entries = entryArray_.data();
    *count = static_cast<uint32_t>(entries_.size());
    return 0;
}

// Back from the end: the comment's length, the comment, the END record, the directory. Each is
// read once, the directory in pieces of 64 KiB; the catalogue and tailRest_ keep every byte of it
// (the names of a large catalogue by their place and hash), so a scan passes the tail on instead
// of reading it again.
int32_t PackageArchive::ReadCatalogue(CatalogueNameFeed* feed) {
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
    directoryStart_ = endRecordPosition_ - directory;
    if (ParseDirectory(directoryStart_, directory, feed) != 0) {
        return -1;
    }
    tailRest_.insert(tailRest_.end(), end, end + endAndComment);
    tailRest_.insert(tailRest_.end(), lengthBytes, lengthBytes + kPackageCommentLengthSize);
    tailSize_ = directory + endAndComment + kPackageCommentLengthSize;
    return 0;
}

uint64_t PackageArchive::RecordStart(uint32_t k) const {
    if (k == entries_.size()) {
        return recordsEnd_;
    }
    if (!namesKept_) {
        return entries_[k].nameAt() - kPackageDirectoryRecordSize;
    }
    // The name table holds each name and a NUL, the block table each row: both in record order.
    const uint64_t rows = static_cast<uint64_t>(entries_[k].blocks().data() - blockTable_.data());
    return uint64_t{kPackageDirectoryRecordSize - 1} * k + entries_[k].nameAt() +
           rows * kPackageBlockRowSize;
}

uint64_t PackageArchive::NameHash(const char* name, uint32_t length) const {
    uint8_t hash[crypto_shorthash_BYTES];
    crypto_shorthash(hash, reinterpret_cast<const unsigned char*>(name), length, nameKey_);
    uint64_t value = 0;
    for (uint32_t i = 0; i < crypto_shorthash_BYTES; ++i) {
        value |= static_cast<uint64_t>(hash[i]) << (8 * i);
    }
    return value;
}

int32_t PackageArchive::ReadName(const PackageEntry& entry, PackageName& name) const {
    const uint32_t length = entry.nameLength();
    const char* from = nullptr;
    if (namesKept_) {
        if (entry.nameAt() + uint64_t{length} > nameTable_.size()) {
            return -1;
        }
        from = nameTable_.data() + entry.nameAt();
    } else if (!namePieces_.empty() &&
               static_cast<uint32_t>(&entry - entries_.data()) < unpackedFrom_) {
        const auto k = static_cast<uint32_t>(&entry - entries_.data());
        const auto piece = std::upper_bound(
            namePieces_.begin(), namePieces_.end(), k,
            [](uint32_t index, const NamePiece& p) { return index < p.firstEntry; });
        if (k >= entries_.size() || piece == namePieces_.begin()) {
            return -1;
        }
        const auto held = static_cast<uint32_t>(piece - namePieces_.begin() - 1);
        const NamePiece& it = namePieces_[held];
        if (heldPiece_ != held) {
            if (window_ == nullptr) {
                window_.reset(new (std::nothrow) uint8_t[kNameWindow]);
                if (window_ == nullptr) {
                    return -1;
                }
            }
            heldPiece_ = UINT32_MAX;
            const uint32_t packedEnd = held + 1 < namePieces_.size()
                                           ? namePieces_[held + 1].packedAt
                                           : static_cast<uint32_t>(packedNames_.size());
            uint32_t inflated = 0;
            if (nameInflater_->Inflate(packedNames_.data() + it.packedAt, packedEnd - it.packedAt,
                                       window_.get(), kNameWindow,
                                       &inflated) != block_codec::InflateResult::kOk ||
                inflated != it.rawSize) {
                return -1;
            }
            heldPiece_ = held;
            windowLength_ = 0;  // the window no longer holds the package's bytes
        }
        // The names before it in the piece, from the local records' running sum.
        const uint32_t offset = localPrefix_[k] - localPrefix_[it.firstEntry] -
                                kPackageLocalRecordSize * (k - it.firstEntry);
        if (uint64_t{offset} + length > it.rawSize) {
            return -1;
        }
        from = reinterpret_cast<const char*>(window_.get() + offset);
    } else {
        // Read again from the package: the window moves to the name when it does not hold it
        // (the names of consecutive entries follow one another, so it serves many).
        const int64_t at = directoryStart_ + entry.nameAt();
        if (at < windowStart_ || at + length > windowStart_ + windowLength_) {
            if (window_ == nullptr) {
                window_.reset(new (std::nothrow) uint8_t[kNameWindow]);
                if (window_ == nullptr) {
                    return -1;
                }
            }
            const int64_t directoryEnd = directoryStart_ + endRecord_.directorySize;
            const uint32_t want =
                static_cast<uint32_t>(std::min<int64_t>(kNameWindow, directoryEnd - at));
            windowLength_ = 0;
            if (want < length) {
                return -1;
            }
            // A short read (the file cut since) leaves too few bytes and refuses the name.
            heldPiece_ = UINT32_MAX;  // nor a piece of names
            windowLength_ = source_->ReadAt(at, window_.get(), want);
            windowStart_ = at;
            if (windowLength_ < length) {
                return -1;
            }
        }
        from = reinterpret_cast<const char*>(window_.get() + (at - windowStart_));
        if (NameHash(from, length) != entry.nameHash()) {
            return -1;  // the package changed since its catalogue was read
        }
    }
    std::memcpy(name.text, from, length);
    name.text[length] = 0;
    name.length = static_cast<uint16_t>(length);
    return 0;
}

int32_t PackageArchive::ReadRunName(const PackageEntry& entry, const PackageName* local,
                                    PackageName& name) const {
    const uint32_t length = entry.nameLength();
    if (!NamesInPackage() || length == 0) {
        return entry.ReadName(name);
    }
    if (local == nullptr) {  // an entry without data: its local record read on its own
        const uint16_t index = FindEntryIndex(&entry);
        const int64_t data = index != kPackageNoEntry ? DataStart(index) : -1;
        if (data >= length && source_->ReadBeside(data - length, name.text, length) == length) {
            name.text[length] = 0;
            name.length = static_cast<uint16_t>(length);
            local = &name;
        }
    }
    if (local != nullptr && IsNameOf(entry, local->stored())) {
        if (local != &name) {
            name = *local;
        }
        return 0;
    }
    return entry.ReadName(name);
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
        PackageName name;
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
                if (ReadName(entry, name) != 0) {
                    return done;  // a name that is no longer the catalogue's ends the tail
                }
                from = reinterpret_cast<const uint8_t*>(name.text);
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

namespace {

// Reads a directory front to back through one buffer of 64 KiB, so a directory of any size is
// never held whole.
class DirectoryWindow {
  public:
    DirectoryWindow(ByteSource& source, int64_t at, uint32_t size)
        : source_(source), at_(at), size_(size), buffer_(new uint8_t[kSize]) {}

    // The `count` bytes (at most 64 KiB) from directory offset `p`, or null past the directory's
    // end or on a short read.
    const uint8_t* Get(uint64_t p, uint32_t count) {
        if (p < start_ || p + count > start_ + length_) {
            if (p + count > size_) {
                return nullptr;
            }
            start_ = p;
            const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kSize, size_ - p));
            length_ = source_.ReadAt(at_ + static_cast<int64_t>(p), buffer_.get(), want);
            if (length_ != want) {
                length_ = 0;
                return nullptr;
            }
        }
        return buffer_.get() + (p - start_);
    }

  private:
    static constexpr uint32_t kSize = 64 * 1024;
    ByteSource& source_;
    int64_t at_;
    uint64_t size_;
    std::unique_ptr<uint8_t[]> buffer_;
    uint64_t start_ = 0;
    uint32_t length_ = 0;
};

}  // namespace

// One pass over the directory: each record, name and block table must lie inside the directory
// and within the buffer limits; a name over the limit is refused from its record's fixed part,
// before the name is read. The names are kept when they fit kKeptNameBytes at most, else only
// their place and keyed hash.
int32_t PackageArchive::ParseDirectory(int64_t at, uint32_t size, CatalogueNameFeed* feed) {
    const uint32_t count = endRecord_.entryCount;
    if (static_cast<uint64_t>(count) * kPackageDirectoryRecordSize > size) {
        return -1;  // entryCount claims more records than the directory can hold
    }
    // At most this many name bytes, a NUL after each.
    const uint64_t nameBound = size - uint64_t{count} * kPackageDirectoryRecordSize + count;
    namesKept_ = nameBound <= keptNameLimit_;
    if (sodium_init() < 0) {
        return -1;
    }
    randombytes_buf(nameKey_, sizeof nameKey_);
    DirectoryWindow window(*source_, at, size);
    entries_.assign(count, PackageEntry());
    entryArray_.reserve(entries_.size() + 1);  // never empty storage, so the array is not null
    for (PackageEntry& entry : entries_) {
        entryArray_.push_back(&entry);
    }
    if (feed != nullptr) {
        feed->Begin(entryArray_.data(), count);
    }
    std::vector<uint32_t> blockCounts(count);
    if (namesKept_) {
        nameTable_.reserve(static_cast<std::size_t>(nameBound));
    }
    localPrefix_.assign(count + 1u, 0);
    dataPrefix_.assign(count + 1u, 0);
    // Names too many to keep as they are are deflated, piece by piece, while they fit the limit.
    bool packing = !namesKept_ && keptNameLimit_ > 0;
    unpackedFrom_ = 0;
    std::vector<char> rawPiece;
    uint32_t pieceFirst = 0;
    uint64_t totalCompressed = 0;
    PackageName fed;  // the name told to `feed`
    uint64_t p = 0;
    for (uint32_t k = 0; k < count; ++k) {
        const uint8_t* record = window.Get(p, kPackageDirectoryRecordSize);
        if (record == nullptr) {
            return -1;
        }
        const uint64_t end = RecordEnd(record, p, size);
        if (end == 0) {
            return -1;
        }
        PackageEntry& entry = entries_[k];
        entry.ParseDirectoryRecord(record);
        blockCounts[k] = ReadLe32(record + kDirectoryBlockCountOffset);
        p += kPackageDirectoryRecordSize;
        // The name ends at its first NUL byte; nameLength keeps the stored length.
        const char* name = reinterpret_cast<const char*>(window.Get(p, entry.nameLength()));
        if (name == nullptr) {
            return -1;
        }
        if (namesKept_) {
            entry.SetName(this, static_cast<uint32_t>(nameTable_.size()), 0);
            nameTable_.insert(nameTable_.end(), name, name + entry.nameLength());
            nameTable_.push_back(0);
        } else {
            entry.SetName(this, static_cast<uint32_t>(p), NameHash(name, entry.nameLength()));
            if (packing && rawPiece.size() + entry.nameLength() > kNameWindow) {
                packing = PackNames(rawPiece, pieceFirst);
                pieceFirst = k;
                unpackedFrom_ = k;
            }
            if (packing) {
                rawPiece.insert(rawPiece.end(), name, name + entry.nameLength());
            }
        }
        if (feed != nullptr) {  // told once the rows say whether it is a directory
            std::memcpy(fed.text, name, entry.nameLength());
            fed.length = entry.nameLength();
        }
        p += entry.nameLength();
        uint64_t compressed = 0;
        uint64_t uncompressed = 0;
        for (; p < end; p += kPackageBlockRowSize) {
            const uint8_t* row = window.Get(p, kPackageBlockRowSize);
            if (row == nullptr) {
                return -1;
            }
            const PackageBlock block = {ReadLe32(row), ReadLe32(row + 4), ReadLe32(row + 8)};
            if (block.compressedSize > kPackageMaxCompressedBlock ||
                block.uncompressedSize > kPackageMaxUncompressedBlock) {
                return -1;
            }
            compressed += block.compressedSize;
            uncompressed += block.uncompressedSize;
            blockTable_.push_back(block);
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
        if (feed != nullptr) {
            entry.SetTotals(static_cast<uint32_t>(compressed), static_cast<uint32_t>(uncompressed));
            feed->Take(k, fed.stored());
        }
        localPrefix_[k + 1] = localPrefix_[k] + kPackageLocalRecordSize + entry.nameLength();
        dataPrefix_[k + 1] = dataPrefix_[k] + static_cast<uint32_t>(compressed);
    }
    recordsEnd_ = p;
    if (packing && !rawPiece.empty()) {
        PackNames(rawPiece, pieceFirst);
    }
    unpackedFrom_ = UINT32_MAX;
    packedNames_.shrink_to_fit();
    // The rows are placed now that the table no longer grows (totals were checked above).
    blockTable_.shrink_to_fit();
    blockRows_ = blockTable_.data();
    uint32_t nextBlock = 0;
    for (uint32_t k = 0; k < count; ++k) {
        entries_[k].SetBlocks(nextBlock, blockCounts[k]);
        nextBlock += blockCounts[k];
    }
    // The bytes of the directory that no record holds.
    for (uint64_t q = p; q < size;) {
        const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(size - q, 4096));
        const uint8_t* bytes = window.Get(q, piece);
        if (bytes == nullptr) {
            return -1;
        }
        tailRest_.insert(tailRest_.end(), bytes, bytes + piece);
        q += piece;
    }
    return 0;
}

// Deflates the names in `raw` (entries `firstEntry` on) as the next piece and empties `raw`. When
// the pieces would pass the limit, drops them all (the names are read from the package instead)
// and returns false. At the fastest level: names repeat their folders, which any level finds, and
// the open waits on every piece. zlib's state lives for one piece only: it is a quarter of a
// megabyte that the rest of the parse (the block table growing) may need.
bool PackageArchive::PackNames(std::vector<char>& raw, uint32_t firstEntry) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> packed(size);
    const std::size_t at = packedNames_.size();
    if (nameInflater_ == nullptr) {
        nameInflater_.reset(new (std::nothrow) block_codec::Inflater);
    }
    if (nameInflater_ == nullptr || !nameInflater_->Ready() ||
        compress2(packed.data(), &size, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), Z_BEST_SPEED) != Z_OK ||
        at + size > keptNameLimit_) {
        nameInflater_.reset();
        std::vector<uint8_t>().swap(packedNames_);
        std::vector<NamePiece>().swap(namePieces_);
        std::vector<char>().swap(raw);
        return false;
    }
    packedNames_.insert(packedNames_.end(), packed.begin(), packed.begin() + size);
    namePieces_.push_back(
        {firstEntry, static_cast<uint32_t>(at), static_cast<uint32_t>(raw.size())});
    raw.clear();
    return true;
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
