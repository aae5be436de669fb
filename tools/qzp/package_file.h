// What the package commands share: opening a package named on the command line, one-line error
// reports and a progress bar on the terminal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/package.h"
#include "package/verify.h"

// Prints "qzp: SUBJECT: MESSAGE" on stderr and returns exit status 1.
int ReportFailure(const std::string& subject, const std::string& message);

// A package opened with PackageOpen, closed when the object goes (unless Release was called).
class OpenedPackage {
  public:
    OpenedPackage() = default;
    ~OpenedPackage();
    OpenedPackage(const OpenedPackage&) = delete;
    OpenedPackage& operator=(const OpenedPackage&) = delete;

    // Opens the host path `file`. Returns 0, 1 (bad package, reported) or 2 (unusable path,
    // reported).
    int Open(const std::string& file);
    // The package was closed by someone else (a successful PackageExtract with the close flag).
    void Release() { archive = nullptr; }

    PackageArchive* archive = nullptr;
    PackageEntry** entries = nullptr;
    uint32_t count = 0;
};

// The stored name of an entry as UTF-8 text.
std::string EntryName(const PackageEntry* entry);

// "NAME: what went wrong: ACTUAL should be EXPECTED" for a failed check or extraction.
std::string DescribeProblem(const OpenedPackage& package, const PackageProblem& problem);

// A one-line progress bar on stderr, drawn only when stderr is a terminal. Redraws only when the
// shown percentage changes.
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

// Checks, before anything is compressed, that the package file `output` can be written and that
// it neither is nor lies inside one of `inputs` (host paths of files or directories), comparing
// by file identity rather than spelling. Returns 0, or 1 after printing the problem.
int CheckOutput(const std::string& output, const std::vector<std::string>& inputs);

// True when stderr is a terminal.
bool StderrIsTerminal();
