// The package library's plain functions: 1 success, 0 failure.
#include "package/package.h"

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "package/conversion.h"
#include "package/extract.h"
#include "package/install_plan.h"
#include "package/package_archive.h"
#include "platform/file.h"

namespace {

thread_local PackageFault t_openFault = PackageFault::kNone;

// Reads the catalogue from `source`; on failure releases everything and leaves *archive null.
int32_t OpenSource(std::unique_ptr<ByteSource> source, PackageArchive** archive,
                   PackageEntry*** entries, uint32_t* count, int32_t prefixed,
                   CatalogueNameFeed* feed = nullptr) {
    *archive = nullptr;
    try {
        auto opened = std::make_unique<PackageArchive>(std::move(source), prefixed != 0);
        PackageEntry** array = nullptr;
        uint32_t n = 0;
        if (opened->BuildEntryArray(&array, &n, feed) == 0) {
            *archive = opened.release();
            *entries = array;
            *count = n;
            return 1;
        }
    } catch (const std::bad_alloc&) {
        t_openFault = PackageFault::kOutOfMemory;  // not the package's fault
    }
    return 0;
}

// PackageOpen, the names told to `feed` as they are read.
int32_t OpenFile(const char16_t* path, PackageArchive** archive, PackageEntry*** entries,
                 uint32_t* count, int32_t prefixed, CatalogueNameFeed* feed) {
    if (path == nullptr || archive == nullptr || entries == nullptr || count == nullptr) {
        return 0;
    }
    *archive = nullptr;
    t_openFault = PackageFault::kNone;
    std::unique_ptr<FileByteSource> file(new (std::nothrow) FileByteSource(path));
    if (file == nullptr) {
        t_openFault = PackageFault::kOutOfMemory;
        return 0;
    }
    if (file->Open() != 0) {
        return 0;
    }
    return OpenSource(std::move(file), archive, entries, count, prefixed, feed);
}

}  // namespace

int32_t PackageOpen(const char16_t* path, PackageArchive** archive, PackageEntry*** entries,
                    uint32_t* count, int32_t prefixed) {
    return OpenFile(path, archive, entries, count, prefixed, nullptr);
}

int32_t PackageOpenPlanned(const char16_t* path, PackageArchive** archive, PackageEntry*** entries,
                           uint32_t* count, int32_t prefixed, const PlanOptions& options,
                           InstallPlan& plan, int32_t* planned) {
    if (planned == nullptr) {
        return 0;
    }
    CatalogueNamesPlan names(options, plan);
    if (OpenFile(path, archive, entries, count, prefixed, &names) == 0) {
        return 0;
    }
    try {
        *planned = names.End();
    } catch (const std::bad_alloc&) {
        PackageClose(*archive);
        *archive = nullptr;
        t_openFault = PackageFault::kOutOfMemory;
        return 0;
    }
    return 1;
}

int32_t PackageOpenBytes(std::span<const uint8_t> bytes, PackageArchive** archive,
                         PackageEntry*** entries, uint32_t* count, int32_t prefixed) {
    if (archive == nullptr || entries == nullptr || count == nullptr) {
        return 0;
    }
    *archive = nullptr;
    t_openFault = PackageFault::kNone;
    std::unique_ptr<MemoryByteSource> memory(new (std::nothrow) MemoryByteSource(bytes));
    if (memory == nullptr) {
        t_openFault = PackageFault::kOutOfMemory;
        return 0;
    }
    return OpenSource(std::move(memory), archive, entries, count, prefixed);
}

PackageFault PackageLastOpenFault() {
    return t_openFault;
}

int32_t PackageGetEntryInfo(PackageArchive* archive, PackageEntry* entry, PackageEntryInfo* info) {
    if (archive == nullptr || info == nullptr) {
        return 0;
    }
    const PackageEntry* found = archive->FindEntry(entry);
    if (found == nullptr) {
        return 0;
    }
    info->crc = found->crc();
    info->size = found->UncompressedTotal();
    info->compressedSize = found->CompressedTotal();
    PackageName name;
    if (found->ReadName(name) != 0) {
        return 0;
    }
    char16_t wide[kPackagePathCapacity] = {};
    NarrowToWide(name.text, wide, kPackagePathCapacity);
    wide[kPackagePathCapacity - 1] = 0;
    for (uint32_t i = 0; i < kPackagePathCapacity; ++i) {
        info->name[i] = wide[i];
    }
    return 1;
}

namespace {

// The extraction both front doors share.
int32_t RunExtraction(PackageArchive* archive, PackageEntry* const* entries, uint32_t count,
                      const char16_t* targetDirectory, const PackageProgress& progress,
                      int32_t closeFlag) {
    if (EntryRun(*archive, progress, &MakeDirectory).Extract(entries, count, targetDirectory) !=
        0) {
        return 0;  // the package stays open even with the close flag
    }
    if ((closeFlag & 0xFF) != 0) {
        PackageClose(archive);
    }
    return 1;
}

}  // namespace

int32_t PackageExtract(PackageArchive* archive, PackageEntry** entries, uint32_t count,
                       const char16_t* targetDirectory, ProgressProc progress, int32_t closeFlag) {
    if (archive == nullptr) {
        return 0;
    }
    PlainProgress plain(progress);
    return RunExtraction(archive, entries, count, targetDirectory, plain.progress(), closeFlag);
}

int32_t PackageExtractWith(PackageArchive* archive, PackageEntry* const* entries, uint32_t count,
                           const char16_t* targetDirectory, const PackageProgress& progress,
                           int32_t closeFlag) {
    if (archive == nullptr) {
        return 0;
    }
    return RunExtraction(archive, entries, count, targetDirectory, progress, closeFlag);
}

int32_t PlanPackage(PackageArchive* archive, PackageEntry* const* entries, uint32_t count,
                    const PlanOptions& options, InstallPlan& plan) {
    plan = InstallPlan{};
    if (archive == nullptr || (entries == nullptr && count != 0)) {
        plan.fault = PlanFault::kNameNotText;
        return 0;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (archive->FindEntry(entries[i]) == nullptr) {
            plan.fault = PlanFault::kNameNotText;
            plan.faultEntry = i;
            return 0;
        }
    }
    return PlanEntries(entries, count, options, plan);
}

int32_t PackageScratchPath(PackageArchive* archive, const char16_t* targetDirectory,
                           std::u16string_view scratchBase, const char16_t* path,
                           std::u16string* scratch) {
    if (archive == nullptr || targetDirectory == nullptr || path == nullptr || scratch == nullptr) {
        return 0;
    }
    const platform::ScratchRule rule =
        PlanScratchRule(EntryRun::LimitShift(*archive, targetDirectory), scratchBase);
    return platform::ScratchPath(path, rule, *scratch) ? 1 : 0;
}

int32_t PackageSetLimitFolder(PackageArchive* archive, const char16_t* folder) {
    if (archive == nullptr) {
        return 0;
    }
    archive->SetLimitFolder(folder);
    return 1;
}

int32_t PackageSetJobs(PackageArchive* archive, uint32_t jobs) {
    if (archive == nullptr) {
        return 0;
    }
    archive->SetJobs(jobs);
    return 1;
}

void PackageSetKeptNameBytes(uint32_t bytes) {
    PackageArchive::SetKeptNameBytes(bytes);
}

void PackageClose(PackageArchive* archive) {
    if (archive == nullptr) {
        return;
    }
    delete archive;  // the package's source closes its file
}

int32_t MakeDirectory(const char16_t* path) {
    return platform::CreateDir(path) ? 1 : 0;
}
