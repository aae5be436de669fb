// What every qzp command shares: its two kinds of error line, its JSON output, opening the package
// it is given, describing a damaged entry, a progress bar and the check of a file it will write.
//
// Exit statuses: 0 success; 1 a bad package or file, or a failed operation (reported with
// ReportFailure); 2 a usage error (reported with ReportUsage). Each error is one line on stderr,
// with control characters and bytes that are not UTF-8 escaped. Commands print nothing but these
// lines on stderr, apart from the progress bar and warnings ("qzp: warning: ...").
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/package.h"
#include "package/package_contents.h"
#include "package/verify.h"

namespace platform {
class FileSystem;
class UseFiles;
}  // namespace platform

namespace CLI {
class App;
class Validator;
}  // namespace CLI

// Prints "qzp: MESSAGE; see 'qzp COMMAND --help'" on stderr, COMMAND being the words that name
// `command` ("pack", "ini set"; none for the top level), and returns exit status 2. For arguments
// a command refuses after parsing them; main sends CLI11's own parse errors here too.
int ReportUsage(const CLI::App& command, const std::string& message);

// The check on every argument that names a host file or directory: a path qzp cannot turn into
// a device path (a control character, a backslash in a name) is a usage error, "ARG: reason",
// before the command runs. Use as `option->check(HostPathCheck())`.
const CLI::Validator& HostPathCheck();

// `--codepage CP` on a command that writes or reads stored names: the Windows code page of the
// device the package is for (1252, 936, 65001, ...), default 65001 (UTF-8).
void AddCodePageOption(CLI::App* command, uint32_t& codePage);

// qzp's own view of the files (exact host paths) with names in `codePage`, bound to the thread
// while the object lives. A command that takes --codepage runs inside one.
class CodePageFiles {
  public:
    explicit CodePageFiles(uint32_t codePage);
    ~CodePageFiles();
    CodePageFiles(const CodePageFiles&) = delete;
    CodePageFiles& operator=(const CodePageFiles&) = delete;

  private:
    std::unique_ptr<platform::FileSystem> files_;
    std::unique_ptr<platform::UseFiles> bound_;
};

// A stored name as text (UTF-8) to print, read in the bound code page; the stored bytes when they
// are no text of that code page (printing escapes them).
std::string ShownName(const std::string& stored);

// Prints "qzp: SUBJECT: MESSAGE" on stderr and returns exit status 1. SUBJECT is the file
// concerned, as given on the command line (on Windows with `\` between all its levels).
int ReportFailure(const std::string& subject, const std::string& message);

// The version of the JSON that commands print, its first member "format": raised when a member
// changes its meaning or goes; new members may come without it.
inline constexpr int kJsonFormat = 1;

// Prints `document` (an object) on stdout after {"format": kJsonFormat}, indented by two spaces,
// with a final newline. Text that is not
// UTF-8 comes out as U+FFFD instead of failing; callers that want such bytes legible pass
// ValidUtf8(text) (platform/text.h), which writes them as `\xNN`.
void PrintJson(const nlohmann::ordered_json& document);

// `text` as a JSON value: null when it is empty (a value that is absent).
nlohmann::ordered_json OrNull(const std::string& text);

// The package a command is given, opened with PackageOpen and closed when the object goes
// (unless Release was called). Every command that reads a package opens it this way.
class OpenedPackage {
  public:
    OpenedPackage() = default;
    ~OpenedPackage();
    OpenedPackage(const OpenedPackage&) = delete;
    OpenedPackage& operator=(const OpenedPackage&) = delete;

    // Opens the host path `file`. Returns 0, or 1 after one
    // ReportFailure line naming `file`: a
    // path qzp cannot express, "no such file", "not a file", "cannot open: REASON" or "not a
    // package, or its catalogue is damaged".
    int Open(const std::string& file);
    // As Open, except that a file which can be read but is not a package (or whose catalogue is
    // damaged) is no failure: 0 with `archive` null and nothing printed. For a command that
    // judges such a file itself, as check does with the device's refusal.
    int OpenIfPackage(const std::string& file);
    // Opens the package at the device path `path` without a word: false, with `archive` null,
    // when it is none.
    bool OpenQuietly(const char16_t* path);
    // The package was closed by someone else (a successful PackageExtract with the close flag).
    void Release() { archive = nullptr; }

    PackageArchive* archive = nullptr;
    PackageEntry** entries = nullptr;
    uint32_t count = 0;
    // The record of catalogue entry `k` (below count), made when asked: a copy of every record
    // would hold the catalogue twice.
    PackageEntryRecord Record(uint32_t k) const;
};

// "NAME: what went wrong: ACTUAL should be EXPECTED" for a failed check or extraction of
// `package`, NAME as stored; without "NAME: " when the problem names no entry of it.
std::string DescribeProblem(const OpenedPackage& package, const PackageProblem& problem);

// Packages and trees smaller than this get no progress bar: it would only flicker.
inline constexpr uint64_t kProgressFromBytes = 8u << 20;

// `--quiet` on a command that shows progress: no progress bar is drawn.
void AddQuietOption(CLI::App* command);

// Draws the share of a check (0 to 100; negative: done) on the ProgressBar `bar`, as
// SessionPolicy::checking.
void ShowChecked(void* bar, int percent);

// True when a bar for work on `bytes` bytes is wanted: stderr is a terminal, the work is large
// and no --quiet was given.
bool ProgressWanted(uint64_t bytes);

// A one-line progress bar on stderr, drawn only when stderr is a terminal (and no --quiet was
// given). Redraws only when the shown percentage changes; with `total` 0 the label alone is shown
// (work whose share cannot be told, such as a key's password hashing).
class ProgressBar {
  public:
    ProgressBar(const char* label, bool enabled);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void Show(uint64_t done, uint64_t total);
    // Clears the line (call before printing anything else).
    void Finish();

  private:
    const char* label_;
    bool enabled_;
    int shown_ = -1;
};

// Checks, before anything is compressed, that the file `output` can be written and that
// it neither is nor lies inside one of `inputs` (host paths of files or directories), comparing
// by file identity rather than spelling. Returns 0, or 1 after printing the problem.
int CheckOutput(const std::string& output, const std::vector<std::string>& inputs);

// True when stderr is a terminal.
bool StderrIsTerminal();

// The check `qzp verify` makes of an open package, in one pass over it decoding on `jobs` threads
// (0: one per processor): every block inflated, every size and CRC-32 and every name, and whether
// any device would install it (DeviceRefusal). `tap` (may be null) receives every byte of the
// package in that pass, e.g. for a hash. Returns 0, or 1 after one ReportFailure line naming the
// first damaged entry or the refusal. What verify refuses, sign refuses too. The pass is the
// archive's last scan (package_scan.h).
int VerifyPackage(OpenedPackage& package, const std::string& file, unsigned jobs,
                  PackageContentsProc tap = nullptr, void* tapContext = nullptr);
// The same check, its failure returned instead of reported: "" when the package passes.
std::string VerifyProblem(OpenedPackage& package, unsigned jobs, PackageContentsProc tap = nullptr,
                          void* tapContext = nullptr);

// Why no device would install the open `package` (app/package_acceptance.h), e.g. "no device
// installs it: check: no entries; shows "Invalid update File"", or "" when a device would. Reads
// it once, as VerifyPackage does, `tap` with it.
std::string DeviceRefusal(OpenedPackage& package, PackageContentsProc tap = nullptr,
                          void* tapContext = nullptr);

// Writes `text` to the host file `path` through a new file beside it, committed and renamed over
// it. `ownerOnly` makes the file readable and writable by its owner alone (POSIX mode 0600) before
// anything is written to it. Returns 0, or 1 after one ReportFailure line.
int WriteTextFile(const std::string& path, const std::string& text, bool ownerOnly);
