// Fuzzes the INI loader with arbitrary file contents in memory, then checks the table's invariants
// and that every entry which survives a save and a reload on its own (IniEntryLoss) survives the
// save and reload of the whole table.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ini/ini_load.h"
#include "ini/ini_round_trip.h"
#include "ini/ini_table.h"
#include "ini/ini_write.h"

namespace {

void CheckInvariants(const IniTable* t) {
    int32_t occupied = 0;
    for (int32_t i = 0; i < t->capacity; ++i) {
        const IniEntry& e = t->entries[i];
        const std::size_t limit = kIniFieldUnits;
        if (std::u16string_view(e.key).size() >= limit ||
            std::u16string_view(e.value).size() >= limit || e.hash != IniHash(e.key)) {
            std::abort();
        }
        occupied += e.key[0] != 0 ? 1 : 0;
    }
    if (occupied != t->used || t->capacity < 32 || t->capacity % 32 != 0) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    IniTable* table = IniTableCreate(0);
    const bool marked = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    if (IniTableLoadBytes({data, size}, table) != (marked ? 1 : 0)) {
        std::abort();
    }
    CheckInvariants(table);
    if (!marked) {
        if (table->used != 0) {
            std::abort();
        }
        IniTableFree(table);
        return 0;
    }

    IniTable* again = IniTableCreate(0);
    if (IniTableLoadBytes(IniTableBytes(table, u"\\out.ini"), again) != 1) {
        std::abort();
    }
    CheckInvariants(again);
    for (int32_t i = 0; i < table->capacity; ++i) {
        const IniEntry& e = table->entries[i];
        const std::u16string_view key(e.key);
        const std::size_t hash = key.find(u'#');
        if (key.empty() || hash == std::u16string_view::npos) {
            continue;
        }
        const std::u16string section(key.substr(0, hash));
        const std::u16string name(key.substr(hash + 1));
        if (IniTableFind(table, section.c_str(), nullptr) == nullptr ||
            IniEntryLoss(section.c_str(), name.c_str(), e.value) != kIniNothingLost) {
            continue;
        }
        const char16_t* value = IniTableFind(again, e.key, nullptr);
        if (value == nullptr || std::u16string_view(value) != e.value) {
            std::abort();
        }
    }
    IniTableFree(again);
    IniTableFree(table);
    return 0;
}
