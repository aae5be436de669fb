// File and text-conversion services of the platform layer.
//
// Paths are UTF-16 device paths such as u"\\SDMMC\\VORIZ.QZP". Every call acts on the
// FileSystem bound to the calling thread (see FileSystem and UseFiles below); on POSIX a call on a
// thread with none fails (ENXIO), on Win32 it acts on the real file system. The Win32
// implementation hands paths to the wide Win32 / C-runtime calls unchanged, except below a device
// image made with a folder (a tool's view of an image), where the folder stands for `\`. The POSIX
// implementation knows two kinds of file system:
//
// - A device image (FileSystem::DeviceImage). Paths resolve under the device image directory,
//   where `\` and `/` both separate levels, `.` stays and `..` goes up by name but
//   never above the image, and each existing level is matched without regard to ASCII letter case,
//   as the device's file system does (an exact spelling wins; among several others, the first in
//   byte order). Below the image directory no symbolic link is ever followed and nothing but a
//   regular file or a directory is opened: a link counts as a file that may be deleted but not
//   opened, written, created over, renamed or copied; a FIFO or device is refused without
//   blocking. The image directory itself may be a link.
// - Exact host paths (FileSystem::HostPaths, for the host tools): a path names what the host OS
//   resolves it to: no letter-case matching, `..` left to the OS. Links are followed as the OS
//   follows them, except below the file system's link-free directory, which is guarded like the
//   device image.
//
// Names each directory holds are read once per file system and kept up to date by the calls of
// this layer (and the system's delete), so lookups and file creation cost a bounded number of
// system calls whatever the size of a directory. Changes made by other means to a directory a
// file system has already read are not seen by it; a new FileSystem object sees them.
//
// Results follow the Win32 calls these stand for: booleans for success, attribute words with
// kInvalidFileAttributes for "missing", element counts for conversions (0 on failure). After a
// failed call the OS reason stays in errno (POSIX) or GetLastError (Win32); LastFileError gives
// it as text on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace platform {

struct FaultPlan;  // fault.h

inline constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeNormal = 0x80;
// Not a plain file or directory: a link (reparse point) or a device, FIFO or socket. Nothing is
// ever written through or over one of these inside the device image.
inline constexpr uint32_t kAttributeDevice = 0x40;
inline constexpr uint32_t kAttributeReparsePoint = 0x400;

// Opens a C-runtime byte stream, like _wfopen. `mode` is u"rb", u"wb", or u"wbx": a new file
// created exclusively, failing when anything (a file, a directory, a link, even a dangling one)
// exists at the path. Only regular files are opened (a directory fails with EISDIR). Null on
// failure.
std::FILE* OpenStream(const char16_t* path, const char16_t* mode);

// Writes `count` bytes to `stream` and returns how many were written (fwrite with item size 1).
// Every byte the system writes to a file goes through here, so tests can inject faults.
std::size_t WriteStream(std::FILE* stream, const void* data, std::size_t count);

// Attributes of a file or directory, or kInvalidFileAttributes when it does not exist. Callers
// test bits: kAttributeDirectory is set for a directory and clear for a file; the other bits a
// file system reports (archive, read-only, kAttributeNormal, ...) promise nothing. Where links are
// not followed (inside the device image), a link reads as kAttributeReparsePoint, as Win32 reports
// one; a FIFO, socket or device reads as kAttributeDevice.
uint32_t GetAttributes(const char16_t* path);

// Creates one directory (default security). False when it exists already or cannot be made.
bool CreateDir(const char16_t* path);

// Writes what the stream has buffered and makes the file's contents durable (fsync /
// FlushFileBuffers), so that a rename that follows never shows a file whose data a power loss
// could still take away. False on failure.
bool CommitStream(std::FILE* stream);

// Renames `from` to `to` on the same volume, replacing an existing `to` in one step, so that a
// reader (or a power loss) sees either the old file or the new one, never a mixture. Where links
// are not followed, fails when either end is a link or something other than a file or directory.
bool RenameReplacing(const char16_t* from, const char16_t* to);

// Deletes one file (a link itself, never what it points to). False when it does not exist or
// cannot be deleted.
bool RemoveFile(const char16_t* path);

// Code pages are Windows code page numbers (1252, 936, 65001 for UTF-8). Names inside a package
// are narrow text in the code page of the device that unpacks it, so every conversion of a name
// uses the code page of the bound file system: the one it was made with, or on Win32 the system's
// ANSI code page (code page 0) when none is bound. The default of the host tools and of a device
// image that states none is UTF-8: it is what the host build always used, so packages made before
// code pages could be stated are unchanged, and a name of ASCII characters alone has the same
// bytes in every code page accepted here.
inline constexpr uint32_t kSystemCodePage = 0;  // Win32's CP_ACP
inline constexpr uint32_t kDefaultCodePage = 65001;

// True when this build converts with `codePage` (65001 always; otherwise iconv knows it on
// POSIX, IsValidCodePage on Win32); code page 0 is no stated code page and is refused.
bool CodePageAvailable(uint32_t codePage);

// Multibyte <-> UTF-16 conversion with the bound file system's code page, no flags, with the
// counting rules of MultiByteToWideChar / WideCharToMultiByte: a source length of -1 means
// "up to and including the terminator"; the result is the number of elements written (the
// terminator included when it was part of the source), or the number needed when the capacity is
// 0, or 0 when the destination is too small. Bytes the code page does not define become U+FFFD (a
// sequence that is not UTF-8, under 65001), characters it cannot hold become `?` (under 65001 an
// unpaired surrogate becomes U+FFFD's bytes).
int MultiByteToWide(const char* src, int srcLength, char16_t* dst, int dstCapacity);
int WideToMultiByte(const char16_t* src, int srcLength, char* dst, int dstCapacity);

// The system converter's strict conversions with the bound file system's code page (no best fit,
// no default character, no undefined byte): false when it refuses `text` or `narrow`.
bool EncodeStrictly(std::u16string_view text, std::string& narrow);
bool FromCodePage(std::string_view narrow, std::u16string& text);

// A name as a tool stores it for the device: `text` in the bound file system's code page, only
// when every character converts and comes back unchanged, and a byte that reads as `\` or `/`
// comes only from that character (never a mapping such as U+00A5 to 0x5C, which the device reads
// as a separator). False otherwise, with the first character refused in *refused (may be null).
bool ToCodePage(std::u16string_view text, std::string& narrow, std::u16string* refused = nullptr);

// One view of the files and everything this layer remembers about it (the device image's
// directory or exact host paths, open directories, the names each holds). A program's entry, or a
// tool's command, creates the one it works with and binds it to its thread with UseFiles; no
// setting of it changes after it is made, the fault plan of a test run aside. Win32: the real file
// system; a device image given a directory maps the device's `\` onto it, as on POSIX (without the
// letter-case emulation).
class FileSystem {
  public:
    // The device image: `hostDirectory` stands for the device's `\`; names convert with
    // `codePage`. Win32: an empty `hostDirectory` is the device's own file system, which converts
    // with code page 0 (the system's ANSI code page) whatever `codePage` says.
    static std::unique_ptr<FileSystem> DeviceImage(const std::string& hostDirectory,
                                                   uint32_t codePage = kDefaultCodePage);
    // The device image at `hostDirectory` with the code page it states (ImageCodePage); null,
    // with the reason in `error` and the setting's file below the image in `*file` (may be null),
    // when that setting, or a volume the image states (device_image.h), cannot be read, or names
    // no code page this build converts with. Every program that works on an image opens it so.
    static std::unique_ptr<FileSystem> OpenImage(const std::string& hostDirectory,
                                                 std::string& error, std::string* file = nullptr);
    // Why `hostDirectory` is no device image ("" when it is one): it must be a directory holding
    // the folders SDMMC and ResidentFlash2 (letter case aside). A program refuses any other
    // before it creates anything there.
    static std::string ImageProblem(const std::string& hostDirectory);
    // Exact host paths. Below `linkFree` (a device path as HostPathToDevice gives it, e.g. the
    // folder a tool extracts into; null or empty: none) no link is followed and only regular files
    // and directories are opened, as in the device image; a path that climbs out of it with `..`
    // fails (EACCES). The directory itself may be a link.
    static std::unique_ptr<FileSystem> HostPaths(const char16_t* linkFree = nullptr,
                                                 uint32_t codePage = kDefaultCodePage);
    ~FileSystem();
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    // The directory that stands for `\` ("/" for exact host paths; Win32: "\\", or a device
    // image's folder).
    const std::string& Root() const;
    bool ExactHostPaths() const;
    uint32_t CodePage() const;

    // Test runs: the faults to inject into this file system's writes (fault.h), from the next
    // write on, counted afresh. Shared with every file system made while this one is bound.
    void PlanFaults(const FaultPlan& plan);

    struct State;  // the implementation's
    State& state() { return *state_; }
    struct Faults;  // fault.cpp's
    Faults& faults() { return *faults_; }

  private:
    explicit FileSystem(std::unique_ptr<State> state);
    static std::shared_ptr<Faults> FaultsToShare();
    std::unique_ptr<State> state_;
    std::shared_ptr<Faults> faults_ = FaultsToShare();
};

// The code page a device image states in DIR/.named/codepage: one decimal code page number (say
// 1252 or 936), blanks around it allowed. kDefaultCodePage when the file does not exist. False,
// with the reason in `error` (the file is not named in it), when it cannot be read or holds
// anything else.
inline constexpr const char* kImageCodePageFile = ".named/codepage";
bool ImageCodePage(const std::string& hostDirectory, uint32_t& codePage, std::string& error);

// Binds `files` to the calling thread while the object lives, then restores the binding before.
// A thread started with CreateThread begins bound to its creator's file system.
class UseFiles {
  public:
    explicit UseFiles(FileSystem& files);
    ~UseFiles();
    UseFiles(const UseFiles&) = delete;
    UseFiles& operator=(const UseFiles&) = delete;

  private:
    FileSystem* previous_;
};

// The file system bound to the calling thread; null when there is none.
FileSystem* BoundFiles();

// The reason the last failed call of this layer on this thread failed, as one line of text
// (e.g. "Permission denied", "refusing the symbolic link /x/out/VORIZ"); empty when unknown.
std::string LastFileError();

// The system's wording of a failure that std::filesystem or the C library reported, the same
// wording LastFileError gives when this layer meets that failure: on Windows an errno value (most
// of std::filesystem's codes there) is worded as the Win32 error the C runtime took it from.
std::string ErrorText(const std::error_code& code);

// Forgets the last failure on this thread, so that LastFileError after a step names only what
// failed within it (a lookup of a missing file, which is no failure of the step, sets it too).
void ResetFileError();

// Turns a host path given by a user (a command-line argument, UTF-8) into a device path that
// names the same file. On POSIX this makes the path absolute and requires it to lie inside the
// bound file system's root (a tool's host paths have the root "/"); `..` levels are resolved by
// name, or with exact host paths kept for the OS to resolve. On Win32 it is the path made absolute.
// Returns false when the path cannot be expressed.
bool HostPathToDevice(const std::string& hostPath, std::u16string& devicePath);

// The host file-system path a device path resolves to (POSIX; Win32 returns it as UTF-8).
std::string DevicePathToHost(const char16_t* path);

}  // namespace platform
