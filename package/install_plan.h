// The extraction plan: everything that extracting a list of entries into a target directory will
// do, decided before the first change on the disk.
//
// Extraction joins the target directory and the stored name by plain concatenation, opens the
// file there and, when that fails, creates the parent directories by splitting the stored name at
// `\` only. The file system, however, resolves `/` like `\` and ignores letter case. The plan
// models exactly that: a name holding `/` is written only where the parents joined by `/`
// already exist at that point (made by earlier entries, or present in a tree that is kept). It
// resolves every name the way the target file system does and refuses, with the entry and the
// reason, every list that extraction could not write exactly as planned:
//   - names that are empty or only separators, that hold an empty level other than leading `\`s,
//     one between two `\` (skipped, as extraction does) and the one trailing `\` of a directory
//     entry, a `.` or `..` level, or a level the device cannot create (the characters <>:"|?* or
//     control characters, a trailing dot or blank, a device name such as COM1, a drive prefix);
//   - joined paths over 259 units (a doubled `\` counts twice, as extraction joins it), and names
//     with a leading `\` joined to the root `\` (a network path);
//   - a file entry and a directory entry that resolve to the same path (two file entries on one
//     path are both written, the later one over the earlier);
//   - a file where a directory is needed or the reverse, within the list or against the tree
//     that is kept, and a link or device file of that tree anywhere on an entry's path;
//   - parents that would not exist when the entry is written;
//   - with the manifest rules: a second manifest, a manifest stored as a directory entry, or an
//     entry that resolves to the manifest's path without being named like it.
// The package writer, the check of a whole package, the installer and extraction itself all ask
// this one module, so they accept and refuse the same packages; the writer alone also refuses a
// doubled `\` before it asks (name_rules.h).
//
// Results: BuildInstallPlan, PlanEntries and PlanPackage (package.h) return true / 1 when the plan
// is complete and false / 0 with InstallPlan::fault and faultEntry set. Nothing here writes to the
// disk; in the kKeep mode the existing tree is only queried for attributes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "package/package_entry.h"
#include "package/plan_fault.h"
#include "platform/replace.h"

class PackageEntry;

// The package's manifest, its own version record: the entry named so (any letter case, leading
// `\`s aside, levels separated by one `\`). Another spelling that lands on its path is refused
// (kManifestMisspelt).
inline constexpr char16_t kPackageManifestName[] = u"VORIZ\\INDEX.INI";

// True when the stored name of a file is the manifest's: kPackageManifestName in any letter case
// after any leading `\`s. The plan decides by this rule; whoever looks for the manifest asks it.
bool IsManifestName(std::u16string_view name);

inline constexpr uint32_t kPlanNoEntry = 0xFFFFFFFFu;

// What happens to the tree under the target directory before the extraction.
enum class PlanTree : uint8_t {
    kKeep,   // it stays (a patch, a plain extraction): existing files are replaced
    kEmpty,  // it is emptied first (a full update after the purge); the target itself stays
};

struct PlanEntry {
    std::u16string name;  // the stored name, converted to wide
    bool directory = false;
    uint64_t size = 0;  // uncompressed bytes of a file
};

enum class PlanAction : uint8_t {
    kMakeDirectory,  // a directory entry (made, or already there)
    kCreateFile,     // a new file, written in place
    kReplaceFile,    // an existing file, replaced through a scratch copy beside it
};

// A step writes to the target directory joined with the entry's stored name (PlannedPath).
struct PlanStep {
    uint32_t entry;  // index into the given list
    PlanAction action;
    // The path was written by an earlier entry of this plan, whose file of `earlierSize` bytes
    // this one replaces (a directory: makes nothing new).
    bool again = false;
    uint64_t size = 0;  // uncompressed bytes (0 for a directory)
    uint64_t earlierSize = 0;
};

struct PlanOptions {
    // The target directory, normally ending with `\`. Null: the names alone are checked, as for
    // an empty target of length 0: no tree, no length beyond the name's own, and a parent joined
    // by `/` is taken to exist (whether it does is the tree's business).
    const char16_t* target = nullptr;
    PlanTree tree = PlanTree::kKeep;
    // The device folder the names are meant for, when the target is another folder (the host
    // folder a tool unpacks into): the device's limit of 259 units is checked on this folder
    // joined with each name, whatever the target's own length. Null: the target is that folder.
    const char16_t* limitFolder = nullptr;
    // Applies the manifest rules and moves the manifest to the end of the order, so that the new
    // version record is the last file written.
    bool manifestRules = false;
    // The verdict, the manifest and InstallPlan::replaces alone: no steps are kept (a
    // catalogue's would take 24 bytes an entry).
    bool verdictOnly = false;
    // Attribute query for the existing tree (Win32 meaning, 0xFFFFFFFF = missing); null uses the
    // platform's. Only asked in the kKeep mode and for the target directory and above.
    uint32_t (*attributes)(const char16_t* path) = nullptr;
    // A scratch file a cut run left, which the run removes before it writes: the plan takes the
    // tree not to hold it (a prediction, which removes nothing). Null: none.
    const char16_t* leftover = nullptr;
    // A file of a kept tree that the run writes after the extraction (the card's logo) through a
    // scratch file under the plan's base, there already or not: that scratch path is kept off the
    // tree like the entries'. Null: none.
    const char16_t* replacedAfter = nullptr;
};

struct InstallPlan {
    std::vector<uint32_t> order;  // the extraction order: indices into the given list
    std::vector<PlanStep> steps;  // one per entry, in that order
    // With PlanOptions::verdictOnly, instead of the steps: per given entry, whether it replaces an
    // existing file (PlanAction::kReplaceFile).
    std::vector<bool> replaces;
    // How many directories the extraction creates, explicit or parent.
    uint32_t newDirectoryCount = 0;
    uint32_t manifest = kPlanNoEntry;  // index of the manifest (manifest rules only)
    // The base of the scratch names of this plan's replacements (PlanScratchRule): one that no
    // level of any name may be a scratch name of and, in a kept tree, at whose scratch paths
    // nothing stands.
    std::u16string scratchBase = std::u16string(platform::kScratchBase);
    PlanFault fault = PlanFault::kNone;
    uint32_t faultEntry = kPlanNoEntry;  // index into the given list
};

// Decides the plan for `entries` in the order given (the manifest moved last with the manifest
// rules). True when every entry can be written as planned.
bool BuildInstallPlan(const std::vector<PlanEntry>& entries, const PlanOptions& options,
                      InstallPlan& plan);

// The same for entries of a package's catalogue (names converted with the package's hook).
// Returns 1 or 0.
int32_t PlanEntries(const PackageEntry* const* entries, uint32_t count, const PlanOptions& options,
                    InstallPlan& plan);

// The plan of a catalogue's entries that PlanEntries makes with `options`, made instead while
// something else reads the names in catalogue order (the open's parse of the directory, a scan
// passing the tail on): each name is taken as it is read, so a directory whose names stay in the
// package is not read again for the plan. An entry's record is complete when its name is taken.
class CatalogueNamesPlan final : public CatalogueNameFeed {
  public:
    CatalogueNamesPlan(const PlanOptions& options, InstallPlan& plan);
    ~CatalogueNamesPlan() override;
    void Begin(const PackageEntry* const* entries, uint32_t count) override;
    void Take(uint32_t index, std::string_view stored) override;
    // After the parse: 1 when every entry can be written as planned, otherwise 0 with the fault
    // in the plan (PlanEntries' result for the same entries).
    int32_t End();

  private:
    struct Pass;
    const PlanOptions& options_;
    InstallPlan& plan_;
    std::unique_ptr<Pass> pass_;
};

// The path extraction writes catalogue entry `entry` to under `target` (null: the name alone):
// the two joined as the plan joins them. Empty when the stored name does not convert.
std::u16string PlannedPath(const char16_t* target, const PackageEntry* entry);

// The scratch-name rule (platform/replace.h) of extraction and of the other files the installer
// replaces on the device, with `base` (not owned): a plan's scratchBase where a package's entries
// are written, so no scratch file lands on an entry or on anything the tree holds. The limit is the
// device's path limit, counted on a path with `limitShift` units added (the device folder's length
// less a host target's, see PlanOptions::limitFolder). True when `level` may be the name of a
// scratch file under any base a plan chooses, in any letter case: what a run that finds a scratch
// file recorded may take for its own.
bool IsPlanScratchName(std::u16string_view level);

platform::ScratchRule PlanScratchRule(std::ptrdiff_t limitShift = 0,
                                      std::u16string_view base = platform::kScratchBase);
