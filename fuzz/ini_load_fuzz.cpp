// Fuzzes the INI loader with arbitrary file contents, then checks the table's invariants and that
// every entry the saved form can carry survives a save and a second load.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_device.h"
#include "ini/ini_table.h"

namespace {

bool IsSpace(char16_t c) {
    return c == u' ' || (c >= 0x09 && c <= 0x0D);
}

bool SurvivesAsName(std::u16string_view s) {
    return !s.empty() && !IsSpace(s.front()) && !IsSpace(s.back()) &&
           s.find_first_of(u"=\n") == std::u16string_view::npos && s.front() != u';' &&
           s.front() != u'#';
}

bool SurvivesAsValue(std::u16string_view s) {
    return !s.empty() && !IsSpace(s.front()) && !IsSpace(s.back()) &&
           s.find_first_of(u";#\n") == std::u16string_view::npos && s.front() != u'"' &&
           s.front() != u'\'';
}

void CheckInvariants(const IniTable* t) {
    int32_t occupied = 0;
    for (int32_t i = 0; i < t->capacity; ++i) {
        const IniEntry& e = t->entries[i];
        bool keyEnds = false;
        bool valueEnds = false;
        for (int32_t u = 0; u < kIniFieldUnits; ++u) {
            keyEnds = keyEnds || e.key[u] == 0;
            valueEnds = valueEnds || e.value[u] == 0;
        }
        if (!keyEnds || !valueEnds || e.hash != IniHash(e.key)) {
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
    if (!fuzz::WriteInput("in.ini", data, size)) {
        return 0;
    }

    IniTable* table = IniTableCreate(0);
    const bool marked = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    if (IniTableLoad(u"\\in.ini", table) != (marked ? 1 : 0)) {
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

    IniTableWrite(u"\\out.ini", table);
    IniTable* again = IniTableCreate(0);
    if (IniTableLoad(u"\\out.ini", again) != 1) {
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
        if (IniTableFind(table, section.c_str(), nullptr) == nullptr ||
            !SurvivesAsName(key.substr(hash + 1)) || !SurvivesAsValue(e.value)) {
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
