// What a save and a reload of an INI table (ini_table.h) would lose.
#pragma once

#include <cstdint>

#include "ini/ini_table.h"

// What a save (IniTableBytes) and a reload (IniTableLoadBytes) would lose of the entry `section` /
// `key` = `value` alone in a table, where `key` null stands for the section alone: the first part
// that does not come back unchanged, or kIniNothingLost. Cut or refused fields count as lost.
enum : int32_t { kIniNothingLost = 0, kIniSectionLost = 1, kIniKeyLost = 2, kIniValueLost = 3 };
int32_t IniEntryLoss(const char16_t* section, const char16_t* key, const char16_t* value);
// The slot of the first entry of `table` that a save and a reload would lose or change (value,
// or place in the enumeration); -1 when all come back (a missing table too). An empty "__default"
// section that the reload adds is no change.
int32_t IniTableFirstLoss(IniTable* table);
