// The in-memory table of a UTF-16 INI file (its loader: ini_load.h, its writer: ini_write.h).
//
// The table is an array of slots, each pointing at its composed key and its value in the table's
// text store. A section is an entry whose key is the bare
// section name (with an empty value); a key of a section is an entry whose key is the section
// name, '#' and the key name ("Config#SoftwareVersion"). An entry whose key holds no '#' is a
// section entry. Names are compared code unit by code unit, without case folding. Keys that
// stand before the first section header of a file belong to the section "__default", and every
// operation given no section name uses it. A header of white space alone ("[ ]") opens the
// section named "": the loader stores its keys ("#key", found under the name "") but it has no
// section entry, so it is not enumerated, a save drops its keys and IniTableFirstLoss reports
// them; IniTableSetString refuses the name.
//
// Slots: a new entry takes the lowest free slot; removing an entry frees its slot in place;
// replacing a value keeps the slot. The slot order is the order of enumeration and saving. The
// array starts with at least 32 slots and doubles when a new entry finds it full; it never
// shrinks. Beside the slots the table keeps a hash index of the occupied slots and a heap of the
// freed ones, so a lookup, an insertion and a removal cost O(1) amortised (the heap O(log n)) and
// loading a file is linear in its size.
//
// Text store: the keys and values themselves, one after the other in one block, each taking the
// units it holds (a slot is 12 bytes on the device, and a key of "Config#Version" with a value
// of "1.0" about 40 bytes of text). A value replaced by one no longer stays where it was; a
// longer one is added at the end. When the block is full it is copied into a new one, twice the
// size of the text still in use, leaving behind what replaced and removed entries held.
//
// Limits (the fields hold no more, nothing is ever written past them):
//   - a composed key, and so a section name, holds at most 255 units; longer ones are cut to 255
//     units, and never in the middle of a surrogate pair. A key whose section name and '#' leave
//     no room for a single unit of the key name is refused (nothing is stored), since cutting it
//     would turn it into another entry.
//   - a value holds at most 255 units; longer values are cut the same way.
//   - an empty composed key is refused: a first unit of 0 marks a free slot.
//   - the integer conversion saturates at the signed 32-bit limits.
// White space, for every trim of the loader, is U+0020 and U+0009 to U+000D only, so values keep
// no-break and ideographic spaces.
//
// Pointers returned into the table (values, names) stay valid until that entry is changed or
// removed, an entry is added or given a longer value (the text store may move then), or the
// table is freed.
//
// Results: the table functions report nothing or return the documented default/failure value
// (none is a null pointer); IniTableLoad returns 1 or 0. A missing table or key makes an
// operation do nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ini/ini_text.h"

inline constexpr int32_t kIniGrowSlots = 32;
inline constexpr std::size_t kIniPathUnits = 260;  // a document's path, terminator included

struct IniEntry {
    const char16_t* key;    // composed key, in the text store; "" (a first unit of 0) when free
    const char16_t* value;  // in the text store; "" when free
    uint32_t hash;          // IniHash(key); 0 in a free slot
};

struct IniTableIndex;  // the lookup index, private to the table functions

struct IniTable {
    int32_t capacity;  // slots allocated, at least 32
    IniEntry* entries;
    int32_t used;          // occupied slots
    IniTableIndex* index;  // owned, with the text store; only the table functions change slots
};

// One-at-a-time hash of the 16-bit units up to the NUL; the same value on every build.
uint32_t IniHash(const char16_t* text);

// A new table with max(requested, 32) free slots; null when memory is lacking.
IniTable* IniTableCreate(int32_t requested);
void IniTableFree(IniTable* table);
// Makes room at once for `entries` more entries (a loader that has counted its lines), so that
// adding them grows nothing; best effort: without the memory, the table grows as it fills.
void IniTableReserve(IniTable* table, int32_t entries);

// Pointer to the stored value of composed key `key`, or `fallback` when it is not stored.
const char16_t* IniTableFind(IniTable* table, const char16_t* key, const char16_t* fallback);

// Inserts or replaces composed key `key`; a null value stores an empty value. When the table is
// full and cannot grow (or its index cannot), nothing is stored.
void IniTableSet(IniTable* table, const char16_t* key, const char16_t* value);

// Removes composed key `key` if it is stored.
void IniTableUnset(IniTable* table, const char16_t* key);

// With a key: makes sure the section entry exists (resetting its value to empty), then sets
// section#key. Without a key: sets the value of the section entry itself. An empty section name
// is refused.
void IniTableSetString(IniTable* table, const char16_t* section, const char16_t* key,
                       const char16_t* value);

// Typed access. The getters return `fallback` when the table is missing or nothing is stored.
// Without a key, IniTableGetString reads the section entry itself.
const char16_t* IniTableGetString(IniTable* table, const char16_t* section, const char16_t* key,
                                  const char16_t* fallback);
// The first unit decides: T, Y (either case) or 1 is true; F, N or 0 is false; else `fallback`.
bool IniTableGetBool(IniTable* table, const char16_t* section, const char16_t* key, bool fallback);
int32_t IniTableGetInt(IniTable* table, const char16_t* section, const char16_t* key,
                       int32_t fallback);
void IniTableSetBool(IniTable* table, const char16_t* section, const char16_t* key, bool value);
void IniTableSetInt(IniTable* table, const char16_t* section, const char16_t* key, int32_t value);
// "%g": six significant digits; exponents have at least two digits ("1e+06").
void IniTableSetReal(IniTable* table, const char16_t* section, const char16_t* key, double value);

void IniTableRemoveKey(IniTable* table, const char16_t* section, const char16_t* key);
// Removes every key of the section, then its section entry. Other sections whose names merely
// begin with this one are left alone.
void IniTableRemoveSection(IniTable* table, const char16_t* section);

// Sections are the section entries in slot order. -1 for a missing table.
int32_t IniTableSectionCount(IniTable* table);
// Null for a missing table or a negative index; "__default" at or beyond the number of sections.
const char16_t* IniTableSectionName(IniTable* table, int32_t index);
// Keys of `section` in slot order. -1 when the table or section is missing.
int32_t IniTableKeyCount(IniTable* table, const char16_t* section);
// The key name (after "section#"); null when the table or section is missing, the index is
// negative or there are not that many keys.
const char16_t* IniTableKeyName(IniTable* table, const char16_t* section, int32_t index);

// Decimal conversion: leading white space, one optional sign, then digits up to the first other
// unit; no digits gives 0; values beyond the signed 32-bit range saturate.
int32_t IniParseInt(const char16_t* text);
