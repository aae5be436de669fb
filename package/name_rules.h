// The one rule for stored entry names: what the writer may store, what verification and
// extraction accept and what the extraction plan resolves, decided by the same function. It is
// the rule of the device's file system: a name that passes can be created under the target
// directory and stays inside it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class NameFault : uint8_t {
    kNone,
    kNotText,            // over 259 bytes, or does not convert into 259 wide units
    kControlCharacter,   // a NUL or another control character (below 0x20) anywhere
    kEmpty,              // empty, or separators only
    kEmptyLevel,         // an empty level (a doubled separator); leading `\`s are allowed
    kTrailingSeparator,  // a file name ending with a separator
    kDotLevel,           // a level of dots and blanks only (`.`, `..`, `. .`): may leave the target
    kDrivePrefix,        // `X:` at the start: leaves the target
    kScratchName,        // a level that extraction's scratch files may take (see below)
    kBadCharacter,       // one of <>:"|?*
    kTrailingDotOrBlank,  // a level ending with a dot or a blank, which the device drops
    kDeviceName,          // a level that is a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9)
};

// A short English description, e.g. "name has an empty level".
const char* NameFaultText(NameFault fault);

// The rule on a wide name. Levels are split at `\` and `/`; leading `\`s are skipped; a
// directory entry (`directory`) may end with one `\`. A scratch name is any prefix of
// "~qzpnew.tmp", in any letter case, that does not end with a dot: extraction places such a
// copy beside a file it replaces.
NameFault CheckEntryName(std::u16string_view name, bool directory);

// The rule on a name as stored in a package: all its bytes (the directory record's length, NULs
// included) must be text without control characters; then CheckEntryName on it converted with
// the package library's conversion hook. The converted name goes to *wide (may be null).
NameFault CheckStoredName(std::string_view stored, bool directory, std::u16string* wide = nullptr);
