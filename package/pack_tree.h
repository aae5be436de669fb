// Turns a directory tree into the item list of a package.
//
// Results: 0 success, -1 failure with a reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/writer.h"

struct PackTreeResult {
    std::vector<PackItem> items;
    uint64_t fileBytes = 0;  // the sum of the files' sizes
    std::string error;       // set on failure
    std::string errorPath;   // the host path the failure concerns
};

// Lists everything under the device directory `root` in pre-order: a directory's own entry (its
// name ending with `\`) comes before its contents, siblings are sorted by the bytes of their
// host names (UTF-8). Names are relative to `root` with `\` between levels, in the bound file
// system's code page; each file's source is its device path. Refuses what a package cannot hold
// or a device cannot unpack: empty files, names that are not UTF-8, hold a backslash or a
// character the code page cannot hold, symbolic links to directories, devices, sockets and pipes.
int32_t CollectPackTree(const std::u16string& root, PackTreeResult& result);
