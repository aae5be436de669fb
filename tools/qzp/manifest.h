// The manifest (VORIZ\INDEX.INI) of a package or of a tree about to be packed, as the tools read
// it, and the checks that keep a packager from shipping a package a device would misread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "package/pack_tree.h"

// Where a package keeps its manifest, in the device's spelling.
inline constexpr char kManifestEntry[] = "VORIZ\\INDEX.INI";

struct ManifestInfo {
    std::string version;                     // Config/SoftwareVersion, empty when absent
    std::optional<std::string> isPatchText;  // UpdateInfo/IsPatch as stored, when present
    int32_t isPatch = 0;                     // its value as the device reads it
    std::string oldVersion;                  // UpdateInfo/oldVersion, empty when absent
    int32_t allowDowngrade = 0;              // UpdateInfo/AllowDowngrade as the device reads it
};

// True when `text` is a decimal integer: an optional sign and at least one digit, nothing else.
bool IsDecimalInteger(const std::string& text);

// Reads the manifest file at the device path `path`. False when it is not a UTF-16 INI file.
bool ReadManifest(const std::u16string& path, ManifestInfo& manifest);

// Checks the manifest of a tree collected for packing (`source` is SRC_DIR as given). Returns
// nothing when it is sound; otherwise the one-line problem (naming the file and the fix) and the
// file it concerns in `subject`.
std::optional<std::string> TreeManifestProblem(const std::string& source,
                                               const PackTreeResult& tree, std::string& subject);

// "1.0", "a patch for 1.0" and so on: how a device reads a manifest (or the lack of one).
std::string DescribeKind(const ManifestInfo* manifest);
