// A package or a directory seen the same way: its entries with sizes and CRC-32s, and its
// manifest. Used where either may be given (diff, patch, info).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ini/ini_load.h"
#include "tools/qzp/manifest.h"
#include "tools/qzp/opened_package.h"

struct TreeEntry {
    std::string name;  // stored name, `\` between levels; a directory's ends with `\`
    bool directory = false;
    uint32_t size = 0;
    uint32_t crc = 0;
    std::u16string source;  // a directory's file: its device path (empty for packages)
};

struct TreeListing {
    bool isPackage = false;
    std::string comment;  // packages only
    std::vector<TreeEntry> entries;
    std::optional<ManifestInfo> manifest;  // absent when there is none (or it is unreadable)
    bool manifestUnreadable = false;       // present but not a UTF-16 INI file (or too large)
    uint64_t compressedBytes = 0;          // packages only
    // Totals of the package's entries, kept also when `entries` is not (packages only).
    std::size_t entryCount = 0;
    uint32_t fileCount = 0;
    uint64_t unpackedBytes = 0;
};

// A directory that exists for the life of the object and is then removed with its contents.
class ScratchDirectory {
  public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Reads the package or directory at the host path `path`. Returns 0, or 1 after printing the
// failure (a bad package, an unreadable file) as one line.
int LoadTree(const std::string& path, TreeListing& listing);

// Reads the open package `package`, found at the host path `path`, as LoadTree does: its catalogue
// and, unpacked to a scratch directory, its manifest. With `keepEntries` false only the totals are
// kept and `entries` stays empty, so no name is held (qzp info on 65,535 long names).
int ListPackage(const OpenedPackage& package, const std::string& path, TreeListing& listing,
                bool keepEntries = true);

// Extracts every entry of the package `path` into the host directory `directory`. Returns 0, or
// 1 after printing the failure.
int ExtractAll(const std::string& path, const std::string& directory);

// The key under which stored names are matched: the device compares them as text (converted from
// the bound code page, where a second byte may be an ASCII letter) without regard to ASCII case.
std::string NameKey(const std::string& stored);
