// What the POSIX file layer remembers about directories, for the rest of the POSIX platform and
// for tests. Not part of the platform contract.
#pragma once

#include <cstdint>

namespace platform::posix {

// Forgets every directory listing and open directory the bound file system holds. Called after
// changes made to the device image by other means than the file layer (the shell's delete).
void ForgetDirectories();

// Number of times the bound file system has read a directory's names since it was made. Each
// directory is read once per file system, however many lookups it serves, and once more the
// first time a name is asked for in another letter case than stored.
uint64_t DirectoryListings();

}  // namespace platform::posix
