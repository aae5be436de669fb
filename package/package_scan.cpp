// The one-pass scan: the entries are checked by the archive's own run, reading through a stream
// that walks the file from its first byte to its last and hands every byte it reads, the entries'
// blocks and everything between them, to the contents reader. The directory, END record and
// comment are handed on from what the open parsed, not read again.
#include "package/package_scan.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "package/extract.h"
#include "package/package_archive.h"

namespace {

// The names of the directory's records, told to a feed as the tail goes by: each checked against
// the catalogue's, so what is told is what the open parsed, or nothing more once one differs.
class DirectoryNames {
  public:
    DirectoryNames(const PackageArchive& archive, CatalogueNameFeed& feed)
        : archive_(archive), feed_(feed), left_(archive.endRecord().directorySize) {
        const std::span<PackageEntry* const> entries = archive_.entryArray();
        Tell([&] { feed_.Begin(entries.data(), static_cast<uint32_t>(entries.size())); });
    }

    // The tail's next `size` bytes.
    void Feed(const uint8_t* data, uint32_t size) {
        const std::vector<PackageEntry>& catalogue = archive_.catalogue();
        while (size > 0 && !failed_ && record_ < catalogue.size()) {
            if (left_ == 0) {
                failed_ = true;  // the records run past the directory
                return;
            }
            const auto want = static_cast<uint32_t>(std::min<uint64_t>(left_, need_ - have_));
            const uint32_t n = std::min(want, size);
            if (part_ == kHeader) {
                std::memcpy(header_ + have_, data, n);
            } else if (part_ == kName) {
                std::memcpy(name_.text + have_, data, n);
            }
            have_ += n;
            left_ -= n;
            data += n;
            size -= n;
            if (part_ == kHeader && have_ == kPackageDirectoryRecordSize) {
                const PackageEntry& entry = catalogue[record_];
                if (ReadLe32(header_) != kPackageDirectorySignature ||
                    ReadLe16(header_ + kDirectoryNameLengthOffset) != entry.nameLength() ||
                    ReadLe32(header_ + kDirectoryBlockCountOffset) != entry.blocks().size()) {
                    failed_ = true;
                    return;
                }
                Next(kName, entry.nameLength());
            }
            if (part_ == kName && have_ == need_) {
                const PackageEntry& entry = catalogue[record_];
                const std::string_view name(name_.text, need_);
                if (!archive_.IsNameOf(entry, name)) {
                    failed_ = true;
                    return;
                }
                const uint32_t index = record_;
                Tell([&] { feed_.Take(index, name); });
                Next(kRows, uint64_t{ReadLe32(header_ + kDirectoryBlockCountOffset)} *
                                kPackageBlockRowSize);
            }
            if (part_ == kRows && have_ == need_) {
                ++record_;
                Next(kHeader, kPackageDirectoryRecordSize);
            }
        }
    }

    // Every record's name was told.
    bool Complete() const { return !failed_ && record_ == archive_.catalogue().size(); }

  private:
    enum Part { kHeader, kName, kRows };

    template <typename Call>
    void Tell(Call call) {
        try {
            call();
        } catch (const std::bad_alloc&) {
            failed_ = true;
        }
    }

    void Next(Part part, uint64_t need) {
        part_ = part;
        need_ = need;
        have_ = 0;
    }

    const PackageArchive& archive_;
    CatalogueNameFeed& feed_;
    uint64_t left_;  // directory bytes still to come
    uint32_t record_ = 0;
    Part part_ = kHeader;
    uint64_t need_ = kPackageDirectoryRecordSize;
    uint64_t have_ = 0;
    uint8_t header_[kPackageDirectoryRecordSize] = {};
    PackageName name_;
    bool failed_ = false;
};

// The archive's reads, in file order, with every byte passed on once. A read ahead of the cursor
// first reads and passes on the bytes it skips; a read behind it (only a damaged catalogue can
// place an entry there) passes nothing on. Bytes of the tail (directory to end) always come from
// the archive (PackageArchive::CopyTail), so what is passed on is what the catalogue was parsed
// from.
class ContentsStream final : public ByteSource {
  public:
    ContentsStream(PackageArchive& archive, PackageContentsProc proc, void* context)
        : archive_(archive), tailStart_(archive.tailStart()), proc_(proc), context_(context) {}

    int64_t Size() const override { return archive_.size(); }

    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) override {
        if (stopped_) {
            return 0;
        }
        if (offset < cursor_) {
            return Fetch(offset, static_cast<uint8_t*>(buffer), count);
        }
        if (Skip(offset) != 0) {
            return 0;
        }
        const uint32_t got = Fetch(offset, static_cast<uint8_t*>(buffer), count);
        cursor_ += got;
        return Pass(offset, static_cast<const uint8_t*>(buffer), got) == 0 ? got : 0;
    }

    void ReadAheadTo(int64_t end) override { archive_.ReadAheadTo(std::min(end, tailStart_)); }
    uint64_t BytesRead() const override { return archive_.bytesRead(); }

    // Passes on the rest of the file and checks that the file still ends where it did at the
    // open: 0, or -1 with the reason in *problem.
    int32_t Finish(PackageProblem* problem) {
        const int64_t size = Size();
        if (Skip(size) != 0) {
            if (!stopped_) {
                *problem = {PackageFault::kShortRead, kPackageNoEntry, 0,
                            static_cast<uint64_t>(size), static_cast<uint64_t>(cursor_)};
            }
            return -1;
        }
        // The tail came from memory: one read across the last byte tells whether it is still the
        // last.
        uint8_t probe[2] = {};
        const uint32_t got = archive_.ReadAt(size - 1, probe, 2);
        if (got == 1) {
            return 0;
        }
        *problem = {got == 0 ? PackageFault::kShortRead : PackageFault::kSizeMismatch,
                    kPackageNoEntry, 0, static_cast<uint64_t>(size),
                    got == 0 ? static_cast<uint64_t>(Measure()) : static_cast<uint64_t>(size) + 1};
        return -1;
    }

    // `contents` asked to stop.
    bool stopped() const { return stopped_; }
    // The stream's buffer could not be allocated.
    bool outOfMemory() const { return noMemory_; }
    // Every byte before it has been passed on.
    int64_t cursor() const { return cursor_; }
    // Tells `names` the tail's bytes from here on, as they are passed on.
    void TellTail(DirectoryNames* names) { names_ = names; }

  private:
    // The package's bytes at `offset`: before the tail from the file, in it from the open's copy.
    uint32_t Fetch(int64_t offset, uint8_t* buffer, uint32_t count) {
        uint32_t got = 0;
        if (offset < tailStart_) {
            const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(count, tailStart_ - offset));
            got = archive_.ReadAt(offset, buffer, n);
            if (got < n) {
                return got;
            }
        }
        const int64_t at = offset + got;
        if (got == count || at < tailStart_) {
            return got;
        }
        return got +
               archive_.CopyTail(static_cast<uint64_t>(at - tailStart_), buffer + got, count - got);
    }

    // Reads and passes on the bytes from the cursor up to `offset`: 0, or -1 when the file ends
    // first or `contents` stops.
    int32_t Skip(int64_t offset) {
        while (cursor_ < offset) {
            if (Chunk() == nullptr) {
                return -1;
            }
            const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(kChunk, offset - cursor_));
            const uint32_t got = Fetch(cursor_, chunk_.get(), n);
            if (got == 0) {
                return -1;
            }
            cursor_ += got;
            if (Pass(cursor_ - got, chunk_.get(), got) != 0) {
                return -1;
            }
        }
        return 0;
    }

    // Where the file ends now, when it ends inside the tail.
    int64_t Measure() {
        int64_t end = tailStart_;
        while (Chunk() != nullptr) {
            const uint32_t got = archive_.ReadAt(end, chunk_.get(), kChunk);
            if (got == 0) {
                break;
            }
            end += got;
        }
        return end;
    }

    uint8_t* Chunk() {
        if (chunk_ == nullptr) {
            chunk_.reset(new (std::nothrow) uint8_t[kChunk]);
            noMemory_ = chunk_ == nullptr;
        }
        return chunk_.get();
    }

    int32_t Pass(int64_t at, const uint8_t* data, uint32_t size) {
        if (names_ != nullptr && at + size > tailStart_) {
            const auto skip = static_cast<uint32_t>(std::max<int64_t>(0, tailStart_ - at));
            names_->Feed(data + skip, size - skip);
        }
        const auto tap = archive_.scanTap();
        if (size == 0 || ((tap == nullptr || tap(archive_.scanTapContext(), data, size) == 0) &&
                          (proc_ == nullptr || proc_(context_, data, size) == 0))) {
            return 0;
        }
        stopped_ = true;
        return -1;
    }

    static constexpr uint32_t kChunk = 64 * 1024;
    PackageArchive& archive_;
    int64_t tailStart_;
    PackageContentsProc proc_;
    void* context_;
    DirectoryNames* names_ = nullptr;
    int64_t cursor_ = 0;  // every byte before it has been passed on
    bool stopped_ = false;
    std::unique_ptr<uint8_t[]> chunk_;
    bool noMemory_ = false;
};

}  // namespace

int32_t PackageScan(PackageArchive* archive, const PackageScanHooks& hooks,
                    PackageProblem* problem) {
    PackageProblem found = {PackageFault::kNone, kPackageNoEntry, 0, 0, 0};
    if (archive == nullptr || archive->tailReleased()) {
        found.fault = PackageFault::kNotInCatalogue;
        if (problem != nullptr) {
            *problem = found;
        }
        return 0;
    }
    if (hooks.kept != nullptr) {
        hooks.kept->clear();
    }
    if (hooks.keptTooLarge != nullptr) {
        *hooks.keptTooLarge = false;
    }
    uint32_t keepEntry = kPackageScanKeepNone;
    const std::vector<PackageEntry>& catalogue = archive->catalogue();
    if (hooks.kept != nullptr && hooks.keepEntry < catalogue.size()) {
        if (catalogue[hooks.keepEntry].UncompressedTotal() <= hooks.keepLimit) {
            keepEntry = hooks.keepEntry;
        } else if (hooks.keptTooLarge != nullptr) {
            *hooks.keptTooLarge = true;
        }
    }
    if (keepEntry != kPackageScanKeepNone) {
        try {
            hooks.kept->reserve(catalogue[keepEntry].UncompressedTotal());
        } catch (const std::bad_alloc&) {
            if (hooks.last) {
                archive->ReleaseTail();
            }
            found = {PackageFault::kOutOfMemory, keepEntry, 0,
                     catalogue[keepEntry].UncompressedTotal(), 0};  // no room to keep it
            archive->SetLastProblem(found);
            if (problem != nullptr) {
                *problem = found;
            }
            return 0;
        }
    }
    ContentsStream stream(*archive, hooks.contents, hooks.contentsContext);
    bool ok = true;
    if (!catalogue.empty() && EntryRun(*archive).Scan(stream, keepEntry, hooks.kept) != 0) {
        ok = false;
        archive->LastProblem(&found);
    }
    // The names of a catalogue that left them in the package go by with the tail: a feed that
    // wants them (a plan) is told them there instead of reading the directory again.
    std::optional<DirectoryNames> names;
    if (ok && hooks.tailNames != nullptr && archive->NamesInPackage() &&
        stream.cursor() <= archive->tailStart()) {
        if (CatalogueNameFeed* feed = hooks.tailNames(hooks.tailNamesContext)) {
            names.emplace(*archive, *feed);
            stream.TellTail(&*names);
        }
    }
    if (ok && stream.Finish(&found) != 0) {
        ok = false;
    }
    if (hooks.tailNamed != nullptr) {
        *hooks.tailNamed = ok && names.has_value() && names->Complete();
    }
    if (hooks.last) {
        archive->ReleaseTail();
    }
    if (ok) {
        return 1;
    }
    if (stream.stopped()) {
        found = {PackageFault::kNone, kPackageNoEntry, 0, 0, 0};
    } else if (stream.outOfMemory()) {
        found = {PackageFault::kOutOfMemory, kPackageNoEntry, 0, 0, 0};
    }
    if (hooks.kept != nullptr) {
        hooks.kept->clear();
    }
    // The run's own problem may be only what the stream's failure left it (a block read short
    // when the stream could take no buffer): the archive's last problem is the scan's.
    archive->SetLastProblem(found);
    if (problem != nullptr) {
        *problem = found;
    }
    return 0;
}

int32_t PackageSetScanTap(PackageArchive* archive, PackageContentsProc proc, void* context) {
    if (archive == nullptr) {
        return 0;
    }
    archive->SetScanTap(proc, context);
    return 1;
}

uint64_t PackageBytesRead(PackageArchive* archive) {
    return archive == nullptr ? 0 : archive->bytesRead();
}
