// The one rule for stored entry names: what the writer may store, what verification and
// extraction accept and what the extraction plan resolves, decided by the same function. It is
// the rule of the device's file system: a name that passes can be created under the target
// directory and stays inside it.
//
// The writer is stricter than a device (NameUse): it stores each name in its one plain spelling,
// so it refuses an empty level that a reader accepts. A name it stores is thus always one every
// reader accepts, never the reverse.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class NameFault : uint8_t {
    kNone,
    kNotText,            // over 259 bytes, or does not convert into 259 wide units
    kControlCharacter,   // a NUL or another control character (below 0x20) anywhere
    kEmpty,              // empty, or separators only
    kEmptyLevel,         // an empty level that extraction does not skip (see NameUse)
    kTrailingSeparator,  // a file name ending with a separator
    kDotLevel,           // a level of dots and blanks only (`.`, `..`, `. .`): may leave the target
    kDrivePrefix,        // `X:` at the start: leaves the target
    kBadCharacter,       // one of <>:"|?*
    kTrailingDotOrBlank,  // a level ending with a dot or a blank, which the device drops
    kDeviceName,          // a level that is a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9)
};

// Who applies the rule. Extraction splits a name at `\` and skips an empty piece, so a doubled
// `\` inside a name (`VORIZ\\a.txt`) lands where the single one does (`VORIZ\a.txt`); the plan
// resolves both to one path. An empty level next to a `/`, or at the end of a directory's name, is
// refused by both.
enum class NameUse : uint8_t {
    kRead,   // verification, the plan, extraction: an empty level between two `\` is accepted
    kStore,  // the package writer: every empty level is refused (leading `\`s aside)
};

// A short English description, e.g. "name has an empty level".
const char* NameFaultText(NameFault fault);

// The rule on a wide name. Levels are split at `\` and `/`; leading `\`s are skipped; a
// directory entry (`directory`) may end with one `\`.
NameFault CheckEntryName(std::u16string_view name, bool directory, NameUse use = NameUse::kRead);

// The rule on a name as stored in a package: all its bytes (the directory record's length, NULs
// included) must be text without control characters; then CheckEntryName on it converted with
// the package library's conversion hook. The converted name goes to *wide (may be null; emptied
// for kNotText). By
// default the writer's rule: a reader names kRead, so a caller that forgets refuses more, never
// less.
NameFault CheckStoredName(std::string_view stored, bool directory, std::u16string* wide = nullptr,
                          NameUse use = NameUse::kStore);
