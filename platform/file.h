// File and text-conversion services of the platform layer.
//
// Paths are UTF-16 device paths such as u"\\SDMMC\\VORIZ.QZP". The Win32 implementation hands
// them to the wide Win32 / C-runtime calls unchanged; the POSIX implementation resolves them under
// the device image directory (see SetDeviceRoot), where `\` and `/` both separate levels and each
// existing component is matched without regard to ASCII letter case, as the device's file system
// does.
//
// Results follow the Win32 calls these stand for: booleans for success, attribute words with
// kInvalidFileAttributes for "missing", element counts for conversions (0 on failure).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

inline constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeNormal = 0x80;

// Opens a C-runtime byte stream, like _wfopen. `mode` is u"rb" or u"wb". Null on failure.
std::FILE* OpenStream(const char16_t* path, const char16_t* mode);

// Writes `count` bytes to `stream` and returns how many were written (fwrite with item size 1).
// Every byte the system writes to a file goes through here, so tests can inject faults.
std::size_t WriteStream(std::FILE* stream, const void* data, std::size_t count);

// Attributes of a file or directory, or kInvalidFileAttributes when it does not exist.
uint32_t GetAttributes(const char16_t* path);

// Creates one directory (default security). False when it exists already or cannot be made.
bool CreateDir(const char16_t* path);

// Copies a file. With failIfExists false an existing destination is replaced.
bool CopyFileTo(const char16_t* from, const char16_t* to, bool failIfExists);

// Writes what the stream has buffered and makes the file's contents durable (fsync /
// FlushFileBuffers), so that a rename that follows never shows a file whose data a power loss
// could still take away. False on failure.
bool CommitStream(std::FILE* stream);

// Renames `from` to `to` on the same volume, replacing an existing `to` in one step, so that a
// reader (or a power loss) sees either the old file or the new one, never a mixture.
bool RenameReplacing(const char16_t* from, const char16_t* to);

// Deletes one file. False when it does not exist or cannot be deleted.
bool RemoveFile(const char16_t* path);

// Multibyte <-> UTF-16 conversion with the system default code page (code page 0, no flags), with
// the counting rules of MultiByteToWideChar / WideCharToMultiByte: a source length of -1 means
// "up to and including the terminator"; the result is the number of elements written (the
// terminator included when it was part of the source), or the number needed when the capacity is
// 0, or 0 when the destination is too small. The host's default code page is UTF-8; a byte
// sequence that is not UTF-8 becomes U+FFFD, and an unpaired surrogate becomes U+FFFD's bytes.
int MultiByteToWide(const char* src, int srcLength, char16_t* dst, int dstCapacity);
int WideToMultiByte(const char16_t* src, int srcLength, char* dst, int dstCapacity);

// The device image (host builds): the directory that stands for the device's `\`. Default
// "device" (relative to the current directory). The Win32 build ignores it: paths are real.
void SetDeviceRoot(const std::string& hostDirectory);
const std::string& DeviceRoot();

// Turns a host path given by a user (a command-line argument, UTF-8) into a device path that
// names the same file. On POSIX this makes the path absolute and requires it to lie inside the
// device root (tools set the root to "/" first); on Win32 it is the path made absolute. Returns
// false when the path cannot be expressed.
bool HostPathToDevice(const std::string& hostPath, std::u16string& devicePath);

// The host file-system path a device path resolves to (POSIX; Win32 returns it as UTF-8).
std::string DevicePathToHost(const char16_t* path);

}  // namespace platform
