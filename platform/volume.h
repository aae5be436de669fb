// Volume services of the platform layer: free space, the room a tree takes, and removing an
// empty directory.
//
// Paths are device paths, resolved as in file.h. Sizes are in bytes; "allocation unit" is the
// volume's cluster (Win32) or fragment (POSIX statvfs f_frsize), the smallest amount a file takes.
// Results: booleans for success.
#pragma once

#include <cstdint>

namespace platform {

struct VolumeSpace {
    uint64_t freeBytes = 0;  // what the caller may still write (GetDiskFreeSpaceExW / f_bavail)
    uint64_t unitBytes = 0;  // the allocation unit, at least 1
};

// Free space and allocation unit of the volume holding the directory `directory`.
bool GetVolumeSpace(const char16_t* directory, VolumeSpace& space);

// `bytes` rounded up to whole allocation units of `unitBytes`.
inline uint64_t RoundToUnits(uint64_t bytes, uint64_t unitBytes) {
    return unitBytes <= 1 ? bytes : (bytes + unitBytes - 1) / unitBytes * unitBytes;
}

// The room everything under `directory` takes (not the directory itself): each file its size in
// whole units, each directory one unit. Symbolic links are counted as one unit, never followed.
// 0 bytes for a missing directory. False when part of the tree cannot be read.
bool MeasureTree(const char16_t* directory, uint64_t unitBytes, uint64_t& bytes);

// The size of a file; false when it does not exist or is not a file.
bool GetFileSize(const char16_t* path, uint64_t& size);

// Removes a directory that holds nothing; false otherwise.
bool RemoveEmptyDirectory(const char16_t* path);

// True when `path` is a directory that holds nothing (what RemoveEmptyDirectory would remove).
bool IsEmptyDirectory(const char16_t* path);

}  // namespace platform
