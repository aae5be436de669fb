// A settings file in memory: an IniTable bound to the path it was read from.
//
// This is what the installer and the qzp tool use. Results are 0 for success and -1 for failure
// unless said otherwise. Every operation accepts a missing (null) document, section or key and
// then does nothing and returns its failure value; a missing section means "__default". No
// operation shows a message.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "ini/ini_table.h"

struct IniDocument {
    IniTable* table;  // owned by the document
    char16_t
        path[kIniPathUnits];  // the path given to IniOpen (at most 259 units); IniSave writes here
};

// Opens and parses `path`. Null when memory is lacking, the file cannot be opened, holds more than
// kIniMaxFileBytes bytes, or does not begin with the mark FF FE (an 8-bit text file, an empty
// file). A missing file is not created.
// A path longer than 259 units is refused (null) rather than cut, so that IniSave never writes
// to a file other than the one that was read.
IniDocument* IniOpen(const char16_t* path);

// IniOpen for a settings file the device must read whatever its size: files of up to
// kIniMaxWantedFileBytes, of which only `keys` of `section` are kept (null as IniOpen, and also
// when memory for the wanted names is lacking).
IniDocument* IniOpenKeys(const char16_t* path, const char16_t* section,
                         std::initializer_list<const char16_t*> keys);

// IniOpenKeys for the sections and keys that `wanted` holds (their values there are ignored).
IniDocument* IniOpenWanted(const char16_t* path, IniTable* wanted);

// IniOpenWanted over the bytes of a settings file held in memory, of any size their reader
// bounded. The document has no path: IniSave writes nothing.
IniDocument* IniOpenBytes(std::span<const uint8_t> bytes, IniTable* wanted);

// IniOpen for a host tool that reads and writes a settings file of any size the device reads: up
// to kIniMaxWantedFileBytes, every entry kept (IniTableLoadWhole).
IniDocument* IniOpenWhole(const char16_t* path);

// Frees the table and the document; null is ignored.
void IniClose(IniDocument* document);

// Copies the value, with its NUL, into `buffer`, which must hold kIniFieldUnits (256) units.
// Without a key, the section entry's own value (empty unless set without a key) is copied, so 0
// says the section exists. -1 when the document is missing or nothing is stored; `buffer` is then
// left untouched.
int32_t IniGetString(IniDocument* document, const char16_t* section, const char16_t* key,
                     char16_t* buffer);

// Stores the value converted with IniParseInt through `result` and returns 0; -1 when absent,
// and then `*result` is unchanged, so a value placed there beforehand acts as the default.
int32_t IniGetInt(IniDocument* document, const char16_t* section, const char16_t* key,
                  int32_t* result);

// IniTableSetString on the document's table (changes live in memory until IniSave).
int32_t IniSetString(IniDocument* document, const char16_t* section, const char16_t* key,
                     const char16_t* value);

// The number written in decimal ("%d"), then as IniSetString.
int32_t IniSetInt(IniDocument* document, const char16_t* section, const char16_t* key,
                  int32_t value);

// Rewrites the whole file at `path` with IniTableWrite. Reports nothing: a caller that must know
// whether the save worked reads the file back.
void IniSave(IniDocument* document);

// Enumeration, as the IniTable functions of the same names; a missing document gives 0 for the
// counts and null for the names.
int32_t IniSectionCount(IniDocument* document);
const char16_t* IniSectionName(IniDocument* document, int32_t index);
int32_t IniKeyCount(IniDocument* document, const char16_t* section);
const char16_t* IniKeyName(IniDocument* document, const char16_t* section, int32_t index);
