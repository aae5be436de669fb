// The manifest (VORIZ\INDEX.INI) of a package or of a tree about to be packed, as the tools read
// it, and the checks that keep a packager from shipping a package a device would misread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/pack_tree.h"

// True when the stored name `stored` (in the bound code page; a directory's with its trailing
// `\`) names the manifest, by the plan's rule (IsManifestName).
bool IsManifestEntry(const std::string& stored);

struct ManifestInfo {
    std::string version;                     // Config/SoftwareVersion, empty when absent
    std::optional<std::string> isPatchText;  // UpdateInfo/IsPatch as stored, when present
    int32_t isPatch = 0;                     // its value as the device reads it
    std::string oldVersion;                  // UpdateInfo/oldVersion, empty when absent
    int32_t allowDowngrade = 0;              // UpdateInfo/AllowDowngrade as the device reads it
};

// True when `text` is a decimal integer: an optional sign and at least one digit, nothing else.
bool IsDecimalInteger(const std::string& text);

// Reads the manifest file at the device path `path` as the device reads it. False when it is not
// a UTF-16 INI file.
bool ReadManifest(const std::u16string& path, ManifestInfo& manifest);

// Checks the manifest of a tree collected for packing (`source` is SRC_DIR as given). Returns
// nothing when it is sound; otherwise the one-line problem (naming the file and the fix) and the
// file it concerns in `subject`.
std::optional<std::string> TreeManifestProblem(const std::string& source,
                                               const PackTreeResult& tree, std::string& subject);

// A section or key of a manifest that no device reads, named with the nearest spelling a device
// does read when there is one ("[updateinfo]: ...; did you mean [UpdateInfo]?").
struct ManifestSpelling {
    std::string text;
    // A misspelt IsPatch or oldVersion, under a section a device reads or one spelt near it: a
    // device would take the package for another kind of update.
    bool changesKind = false;
};

// The sections and keys of the manifest at the device path `path` that a device does not read;
// none when it cannot be read (TreeManifestProblem says why).
std::vector<ManifestSpelling> ManifestSpellings(const std::u16string& path);

// "full update", "patch for 1.0" and so on: how a device that takes the package reads its manifest
// (or the lack of one); whether any device takes it is DeviceRefusal's (opened_package.h).
std::string DescribeKind(const ManifestInfo* manifest);
