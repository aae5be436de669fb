// The package library's plain-function interface.
//
// Results: the plain functions return 1 for success and 0 for failure. The classes behind them
// (ArchiveFile, PackageArchive, PackageEntry) return 0 for success and -1 for failure.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "package/extract_progress.h"
#include "package/package_fault.h"

class PackageArchive;
class PackageEntry;
struct InstallPlan;
struct PlanOptions;

// What PackageGetEntryInfo tells about one entry.
struct PackageEntryInfo {
    uint32_t crc;
    uint32_t reserved;  // never written by the library
    uint32_t size;      // uncompressed total
    uint32_t compressedSize;
    char16_t name[260];
};

int32_t PackageOpen(const char16_t* path, PackageArchive** archive, PackageEntry*** entries,
                    uint32_t* count, int32_t prefixed);
// PackageOpen over a package held in memory (fuzzers, tests, a package already read). The bytes
// are borrowed and must stay unchanged until PackageClose.
int32_t PackageOpenBytes(std::span<const uint8_t> bytes, PackageArchive** archive,
                         PackageEntry*** entries, uint32_t* count, int32_t prefixed);
// PackageOpen that also plans the catalogue's names while it reads them: PlanPackage of every
// entry with `options`, which must ask for the verdict alone (PlanOptions::verdictOnly). Where a
// package keeps its names in its directory and the catalogue cannot hold them, a plan after the
// open would read them from the package again. When the open succeeds, *planned is PlanPackage's
// result and `plan` its plan.
int32_t PackageOpenPlanned(const char16_t* path, PackageArchive** archive, PackageEntry*** entries,
                           uint32_t* count, int32_t prefixed, const PlanOptions& options,
                           InstallPlan& plan, int32_t* planned);
// Why the last PackageOpen or PackageOpenBytes of this thread failed: kOutOfMemory when memory
// ran out, kNone when the file is no readable package (or the open succeeded).
PackageFault PackageLastOpenFault();
int32_t PackageGetEntryInfo(PackageArchive* archive, PackageEntry* entry, PackageEntryInfo* info);
int32_t PackageExtract(PackageArchive* archive, PackageEntry** entries, uint32_t count,
                       const char16_t* targetDirectory, ProgressProc progress, int32_t closeFlag);
// PackageExtract with `progress` in the context form (its report may be null).
int32_t PackageExtractWith(PackageArchive* archive, PackageEntry* const* entries, uint32_t count,
                           const char16_t* targetDirectory, const PackageProgress& progress,
                           int32_t closeFlag);
void PackageClose(PackageArchive* archive);

// Sets how many threads PackageExtract, PackageVerify and PackageScan decode with on this
// archive: 0 (the default) means one per processor; 1 decodes on the calling thread alone.
// Returns 1, or 0 for a missing archive.
int32_t PackageSetJobs(PackageArchive* archive, uint32_t jobs);

// The name bytes a catalogue opened from now on keeps in memory (1 MiB unless set, a device's
// budget): as they are while they fit, else deflated in pieces that every read of a name inflates
// again, else left in the package. A host program with memory to spare keeps more, so that the
// open does not deflate the names and its plans read them as they are; what a package is judged
// to be stays the same. Applies to the whole process.
void PackageSetKeptNameBytes(uint32_t bytes);

// Unpacking into a host folder that stands for the device folder `folder` (e.g.
// u"\\ResidentFlash2\\"): the device's path limit of 259 units is then checked on `folder`
// joined with each stored name, as the device would count it, instead of on the host target,
// which may be as long as the host allows. Null restores the default (the target counts).
// Returns 1, or 0 for a missing archive.
int32_t PackageSetLimitFolder(PackageArchive* archive, const char16_t* folder);

// PlanEntries (install_plan.h) for entries of an open package. Returns 1 or 0; entries not in the
// package's catalogue fail with kNameNotText.
int32_t PlanPackage(PackageArchive* archive, PackageEntry* const* entries, uint32_t count,
                    const PlanOptions& options, InstallPlan& plan);

// Where an extraction of this archive into `targetDirectory` puts the scratch file through which
// it replaces the existing file at the device path `path`, `scratchBase` being the plan's
// (InstallPlan::scratchBase of the entries extracted): beside the file, within the device's path
// limit as the archive's limit folder counts it (PackageSetLimitFolder). Returns 1 with *scratch
// filled, or 0 when no scratch name fits (the extraction fails on that file) or an argument is
// missing.
int32_t PackageScratchPath(PackageArchive* archive, const char16_t* targetDirectory,
                           std::u16string_view scratchBase, const char16_t* path,
                           std::u16string* scratch);

// The default MakeDirectoryProc: the platform's create-directory call.
int32_t MakeDirectory(const char16_t* path);

// Records whose layout callers rely on.
static_assert(sizeof(char16_t) == 2);
static_assert(sizeof(PackageEntryInfo) == 16 + 260 * 2);
