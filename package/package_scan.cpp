// The one-pass scan: the entries are checked by the archive's own verification loop, reading
// through a stream that walks the file from its first byte to its last and hands every byte it
// reads, the entries' blocks and everything between them, to the contents reader.
#include "package/package_scan.h"

#include <algorithm>
#include <memory>
#include <new>

#include "package/package_archive.h"

namespace {

// The archive's reads, in file order, with every byte passed on once. A read ahead of the cursor
// first reads and passes on the bytes it skips; a read behind it (only a damaged catalogue can
// place an entry there) goes to the source directly, passing nothing on.
class ContentsStream final : public ByteSource {
  public:
    ContentsStream(PackageArchive& archive, PackageContentsProc proc, void* context)
        : archive_(archive), proc_(proc), context_(context) {}

    int64_t Size() const override { return archive_.size(); }

    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) override {
        if (stopped_) {
            return 0;
        }
        if (offset < cursor_) {
            return archive_.ReadAt(offset, buffer, count);
        }
        if (Skip(offset) != 0) {
            return 0;
        }
        const uint32_t got = archive_.ReadAt(offset, buffer, count);
        cursor_ += got;
        return Pass(static_cast<const uint8_t*>(buffer), got) == 0 ? got : 0;
    }

    // Passes on the rest of the file: 0, or -1 with the reason in *problem.
    int32_t Finish(PackageProblem* problem) {
        const int64_t size = Size();
        if (Skip(size) != 0) {
            if (!stopped_) {
                *problem = {PackageFault::kShortRead, kPackageNoEntry, 0,
                            static_cast<uint64_t>(size), static_cast<uint64_t>(cursor_)};
            }
            return -1;
        }
        uint8_t probe = 0;
        if (archive_.ReadAt(size, &probe, 1) != 0) {
            *problem = {PackageFault::kSizeMismatch, kPackageNoEntry, 0,
                        static_cast<uint64_t>(size), static_cast<uint64_t>(size) + 1};
            return -1;
        }
        return 0;
    }

    // `contents` asked to stop.
    bool stopped() const { return stopped_; }

  private:
    // Reads and passes on the bytes from the cursor up to `offset`: 0, or -1 when the file ends
    // first or `contents` stops.
    int32_t Skip(int64_t offset) {
        while (cursor_ < offset) {
            if (chunk_ == nullptr) {
                chunk_.reset(new (std::nothrow) uint8_t[kChunk]);
                if (chunk_ == nullptr) {
                    return -1;
                }
            }
            const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(kChunk, offset - cursor_));
            const uint32_t got = archive_.ReadAt(cursor_, chunk_.get(), n);
            if (got == 0) {
                return -1;
            }
            cursor_ += got;
            if (Pass(chunk_.get(), got) != 0) {
                return -1;
            }
        }
        return 0;
    }

    int32_t Pass(const uint8_t* data, uint32_t size) {
        if (proc_ == nullptr || size == 0 || proc_(context_, data, size) == 0) {
            return 0;
        }
        stopped_ = true;
        return -1;
    }

    static constexpr uint32_t kChunk = 64 * 1024;
    PackageArchive& archive_;
    PackageContentsProc proc_;
    void* context_;
    int64_t cursor_ = 0;  // every byte before it has been passed on
    bool stopped_ = false;
    std::unique_ptr<uint8_t[]> chunk_;
};

}  // namespace

int32_t PackageScan(PackageArchive* archive, const PackageScanHooks& hooks,
                    PackageProblem* problem) {
    PackageProblem found = {PackageFault::kNone, kPackageNoEntry, 0, 0, 0};
    if (archive == nullptr) {
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
            found = {PackageFault::kShortWrite, keepEntry, 0,
                     catalogue[keepEntry].UncompressedTotal(), 0};  // no room to keep it
            if (problem != nullptr) {
                *problem = found;
            }
            return 0;
        }
    }
    archive->SetProgress(PackageProgress{});
    ContentsStream stream(*archive, hooks.contents, hooks.contentsContext);
    bool ok = true;
    if (!catalogue.empty() && archive->ScanEntries(stream, keepEntry, hooks.kept) != 0) {
        ok = false;
        archive->LastProblem(&found);
    }
    if (ok && stream.Finish(&found) != 0) {
        ok = false;
    }
    if (ok) {
        return 1;
    }
    if (stream.stopped()) {
        found = {PackageFault::kNone, kPackageNoEntry, 0, 0, 0};
    }
    if (hooks.kept != nullptr) {
        hooks.kept->clear();
    }
    if (problem != nullptr) {
        *problem = found;
    }
    return 0;
}

uint64_t PackageBytesRead(PackageArchive* archive) {
    return archive == nullptr ? 0 : archive->bytesRead();
}
