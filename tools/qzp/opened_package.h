// The package a command is given: opening it, describing a damaged entry, and the verdicts of the
// check and of the device on it.
#pragma once

#include <cstdint>
#include <string>

#include "package/package.h"
#include "package/package_contents.h"
#include "package/verify.h"

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
