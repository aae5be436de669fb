// The package library's plain functions: 1 success, 0 failure.
#include "package/package.h"

#include <new>

#include "package/package_archive.h"

int32_t PackageOpen(const char16_t* path, PackageArchive** archive, PackageEntry*** entries,
                    uint32_t* count, int32_t prefixed) {
    if (path == nullptr || archive == nullptr || entries == nullptr || count == nullptr) {
        return 0;
    }
    *archive = nullptr;
    PackageArchive* opened = nullptr;
    try {
        opened = new PackageArchive(path, prefixed != 0);
        ArchiveFile::SetNarrowToWide(&NarrowToWide);
        ArchiveFile::SetWideToNarrow(&WideToNarrow);
        PackageEntry** array = nullptr;
        uint32_t n = 0;
        if (opened->BuildEntryArray(&array, &n) == 0) {
            *archive = opened;
            *entries = array;
            *count = n;
            return 1;
        }
    } catch (const std::bad_alloc&) {
        // A directory too large for memory fails the open like any other bad package.
    }
    if (opened != nullptr) {
        opened->Close();
        delete opened;
    }
    return 0;
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
    char16_t wide[kPackagePathCapacity] = {};
    ArchiveFile::ConvertToWide(found->name(), wide, kPackagePathCapacity);
    wide[kPackagePathCapacity - 1] = 0;
    for (uint32_t i = 0; i < kPackagePathCapacity; ++i) {
        info->name[i] = wide[i];
    }
    return 1;
}

namespace {

// The extraction both front doors share, once the progress function is set.
int32_t RunExtraction(PackageArchive* archive, PackageEntry* const* entries, uint32_t count,
                      const char16_t* targetDirectory, int32_t closeFlag) {
    archive->SetMakeDirectoryCallback(&MakeDirectory);
    if (archive->ExtractEntries(entries, count, targetDirectory) != 0) {
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
    archive->SetProgressCallback(progress);
    return RunExtraction(archive, entries, count, targetDirectory, closeFlag);
}

int32_t PackageExtractWith(PackageArchive* archive, PackageEntry* const* entries, uint32_t count,
                           const char16_t* targetDirectory, const PackageProgress& progress,
                           int32_t closeFlag) {
    if (archive == nullptr) {
        return 0;
    }
    archive->SetProgress(progress);
    return RunExtraction(archive, entries, count, targetDirectory, closeFlag);
}

void PackageClose(PackageArchive* archive) {
    if (archive == nullptr) {
        return;
    }
    archive->Close();
    delete archive;
}
