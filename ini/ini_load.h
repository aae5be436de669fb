// Loading a UTF-16 INI file into a table (ini_table.h).
//
// Results: the loaders return 1 or 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "ini/ini_table.h"

inline constexpr int32_t kIniMaxLineUnits = 1023;  // longer lines are read in pieces of this size
// The largest file IniTableLoad reads (a real settings file is under 1 KB). A line stores at most
// one entry and takes at least 3 units ("[a" LF), so such a file fills at most 8,192 slots
// (96 KB on the device) and their text (each key holds its section's name again, so a few
// thousand keys under a long name take a few MB); a larger file is refused whole, never read in
// part. Bytes already in memory are bounded by whoever read them (the installer keeps a manifest
// of at most this size).
inline constexpr std::size_t kIniMaxFileBytes = 32 * 1024;

// The largest file IniTableLoadWanted reads: a settings file the device must read, of any size a
// real one may take. Only the wanted entries are stored, so the table stays a few slots; the file's
// bytes are held while it is parsed.
inline constexpr std::size_t kIniMaxWantedFileBytes = 1024 * 1024;

// Reads a UTF-16 little-endian file that begins with the mark FF FE into `table`. Returns 0 (and
// adds nothing) when the table or path is missing, the file cannot be opened or read to its end,
// holds more than kIniMaxFileBytes bytes (no more than one byte beyond them is read) or lacks the
// mark. Otherwise 1: lines that match no form are skipped.
int32_t IniTableLoad(const char16_t* path, IniTable* table);

// IniTableLoad for files of up to kIniMaxWantedFileBytes that stores only the sections and keys
// that `wanted` holds (their values there are ignored; names match as the table matches them).
int32_t IniTableLoadWanted(const char16_t* path, IniTable* wanted, IniTable* table);

// IniTableLoad for files of up to kIniMaxWantedFileBytes that stores every entry: a host tool's
// view of any settings file the device reads. Its table grows with the file (a slot per line).
int32_t IniTableLoadWhole(const char16_t* path, IniTable* table);

// IniTableLoad over the bytes of a file held in memory (the same rules, no file involved).
int32_t IniTableLoadBytes(std::span<const uint8_t> bytes, IniTable* table);

// IniTableLoadWanted over bytes held in memory (of any size their reader bounded).
int32_t IniTableLoadBytesWanted(std::span<const uint8_t> bytes, IniTable* wanted, IniTable* table);

namespace ini_detail {

// What the loader reads one line as (its line end included or not): nothing (a blank line, a
// comment, a line of no known form), a section header with its name, or a key line with its key
// name and value. The views point into `line`.
struct LineReading {
    enum Kind { kNothing, kHeader, kKey } kind = kNothing;
    std::u16string_view name;
    std::u16string_view value;
};
LineReading ReadLineAs(std::u16string_view line);

}  // namespace ini_detail
