#include "tools/qzp/tree_listing.h"

#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

#include "ini/ini_load.h"
#include "ini/ini_table.h"
#include "package/install_plan.h"
#include "package/name_rules.h"
#include "package/pack_tree.h"
#include "package/package_contents.h"
#include "package/package_entry.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tools/qzp/code_page_option.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/opened_package.h"
#include "tools/qzp/output.h"

namespace {

void NoProgress(uint32_t, uint32_t, uint32_t, uint32_t, const char16_t*, uint32_t, uint32_t,
                uint32_t, uint32_t, uint32_t) {}

// Size and CRC-32 of a file, read through the platform layer.
bool Checksum(const std::u16string& path, uint32_t& size, uint32_t& crc) {
    std::FILE* in = platform::OpenStream(path.c_str(), u"rb");
    if (in == nullptr) {
        return false;
    }
    uLong value = crc32(0L, Z_NULL, 0);
    uint64_t total = 0;
    std::vector<unsigned char> buffer(1 << 16);
    std::size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
        value = crc32(value, buffer.data(), static_cast<uInt>(got));
        total += got;
    }
    const bool ok = std::ferror(in) == 0;
    std::fclose(in);
    size = static_cast<uint32_t>(total);
    crc = static_cast<uint32_t>(value);
    return ok;
}

int LoadDirectory(const std::u16string& device, TreeListing& listing) {
    PackTreeResult tree;
    if (CollectPackTree(device, tree) != 0) {
        return ReportFailure(tree.errorPath, tree.error);
    }
    for (const PackItem& item : tree.items) {
        TreeEntry entry;
        entry.name = item.name;
        entry.directory = item.source.empty();
        entry.source = item.source;
        if (!entry.directory && !Checksum(item.source, entry.size, entry.crc)) {
            return ReportFailure(platform::DevicePathToHost(item.source.c_str()),
                                 "cannot read: " + OsReason());
        }
        listing.entries.push_back(std::move(entry));
    }
    for (const TreeEntry& entry : listing.entries) {
        if (!entry.directory && IsManifestEntry(entry.name)) {
            ManifestInfo manifest;
            if (ReadManifest(entry.source, manifest)) {
                listing.manifest = manifest;
            } else {
                listing.manifestUnreadable = true;
            }
            break;
        }
    }
    return 0;
}

}  // namespace

int ListPackage(const OpenedPackage& package, const std::string& path, TreeListing& listing,
                bool keepEntries) {
    listing.isPackage = true;
    PackageGetComment(package.archive, &listing.comment);
    if (keepEntries) {
        listing.entries.reserve(package.count);
    }
    listing.entryCount = package.count;
    for (uint32_t k = 0; k < package.count; ++k) {
        PackageEntryRecord entry = package.Record(k);
        listing.compressedBytes += entry.compressedSize;
        listing.unpackedBytes += entry.size;
        listing.fileCount += entry.directory ? 0 : 1;
        if (!keepEntries) {
            continue;
        }
        TreeEntry item;
        item.name = std::move(entry.storedName);
        item.directory = entry.directory;
        item.size = entry.size;
        item.crc = entry.crc;
        listing.entries.push_back(std::move(item));
    }
    // The manifest is the entry the device's plan finds. When the plan refuses another name (the
    // package's acceptance says so), it is still shown: the first file entry named like it.
    PlanOptions options;
    options.manifestRules = true;
    options.verdictOnly = true;
    InstallPlan plan;
    uint32_t found = kPlanNoEntry;
    if (PlanEntries(package.entries, package.count, options, plan) == 1) {
        found = plan.manifest;
    }
    for (uint32_t k = 0; k < package.count && plan.fault != PlanFault::kNone; ++k) {
        std::u16string name;
        PackageName stored;
        if (!package.entries[k]->IsDirectory() && package.entries[k]->ReadName(stored) == 0 &&
            CheckStoredName(stored.stored(), false, &name, NameUse::kRead) == NameFault::kNone &&
            IsManifestName(name)) {
            found = k;
            break;
        }
    }
    if (found == kPlanNoEntry) {
        return 0;
    }
    PackageEntry* manifestEntry = package.entries[found];
    // A device refuses a manifest larger than a settings file before inflating it; so does this.
    PackageEntryRecord record;
    PackageGetEntryRecord(package.archive, manifestEntry, &record);
    if (record.size > kIniMaxWantedFileBytes) {
        listing.manifestUnreadable = true;
        return 0;
    }
    // The manifest is read the way the device reads it: unpacked, then opened as a file.
    ScratchDirectory scratch;
    std::u16string target;
    std::string error;
    if (!scratch.ok() || !ToDevicePath(scratch.path() + "/", target, error)) {
        return ReportFailure(path, "cannot make a scratch directory: " + OsReason());
    }
    if (target.empty() || target.back() != u'\\') {
        target += u'\\';
    }
    if (PackageExtract(package.archive, &manifestEntry, 1, target.c_str(), &NoProgress, 0) != 1) {
        PackageProblem problem{};
        PackageLastProblem(package.archive, &problem);
        return ReportFailure(path, DescribeProblem(package, problem));
    }
    ManifestInfo manifest;
    if (ReadManifest(PlannedPath(target.c_str(), manifestEntry), manifest)) {
        listing.manifest = manifest;
    } else {
        listing.manifestUnreadable = true;
    }
    return 0;
}

ScratchDirectory::ScratchDirectory() {
    std::error_code code;
    std::string base = FsText(std::filesystem::temp_directory_path(code));
    if (code) {
        base = "/tmp";
    }
    // create_directory fails when the name exists, so the directory is ours alone.
    std::random_device random;
    for (int attempt = 0; attempt < 16 && path_.empty(); ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "/qzp.%08x", static_cast<unsigned>(random()));
        if (std::filesystem::create_directory(FsPath(base + name), code) && !code) {
            path_ = base + name;
        }
    }
}

ScratchDirectory::~ScratchDirectory() {
    if (!path_.empty()) {
        std::error_code code;
        std::filesystem::remove_all(FsPath(path_), code);
    }
}

std::string NameKey(const std::string& stored) {
    return platform::FoldedAscii(ShownName(stored));
}

int LoadTree(const std::string& path, TreeListing& listing) {
    std::u16string device;
    std::string error;
    if (!ToDevicePath(path, device, error)) {
        return ReportFailure(path, error);
    }
    std::error_code code;
    if (std::filesystem::is_directory(FsPath(path), code)) {
        return LoadDirectory(device, listing);
    }
    OpenedPackage package;
    if (package.Open(path) != 0) {
        return 1;
    }
    return ListPackage(package, path, listing);
}

int ExtractAll(const std::string& path, const std::string& directory) {
    std::error_code code;
    std::filesystem::create_directories(FsPath(directory), code);
    OpenedPackage package;
    if (package.Open(path) != 0) {
        return 1;
    }
    std::u16string target;
    std::string error;
    if (!ToDevicePath(directory + "/", target, error)) {
        return ReportFailure(directory, error);
    }
    if (target.empty() || target.back() != u'\\') {
        target += u'\\';
    }
    if (package.count == 0) {
        return 0;
    }
    if (PackageExtract(package.archive, package.entries, package.count, target.c_str(), &NoProgress,
                       1) != 1) {
        PackageProblem problem{};
        PackageLastProblem(package.archive, &problem);
        return ReportFailure(path, DescribeProblem(package, problem));
    }
    package.Release();
    return 0;
}
