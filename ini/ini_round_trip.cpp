// Whether entries survive a save and a reload, found by doing both: the saved bytes of the writer
// go through the loader, so the answer can never drift from either.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ini/ini_table.h"

namespace {

struct TableFree {
    void operator()(IniTable* table) const { IniTableFree(table); }
};
using Table = std::unique_ptr<IniTable, TableFree>;

// The table read back from the saved form of `table`; null when memory is lacking.
Table Reloaded(IniTable* table) {
    Table again(IniTableCreate(table->used));
    if (again == nullptr ||
        IniTableLoadBytes(IniTableBytes(table, u"round trip"), again.get()) != 1) {
        return nullptr;
    }
    return again;
}

// True when `section` / `key` = `value`, alone in a table, comes back with the same section list
// and the same value (`key` null: the section alone).
bool Survives(const char16_t* section, const char16_t* key, const char16_t* value) {
    Table table(IniTableCreate(0));
    if (table == nullptr) {
        return false;
    }
    IniTableSetString(table.get(), section, key, value);
    // The table itself may have cut or refused it: compare with what was asked for.
    const char16_t* stored = IniTableGetString(table.get(), section, key, nullptr);
    if (stored == nullptr || IniTableSectionCount(table.get()) != 1 ||
        std::u16string_view(IniTableSectionName(table.get(), 0)) != section ||
        (key != nullptr && (IniTableKeyCount(table.get(), section) != 1 ||
                            std::u16string_view(IniTableKeyName(table.get(), section, 0)) != key ||
                            std::u16string_view(stored) != value))) {
        return false;
    }
    return IniTableFirstLoss(table.get()) < 0;
}

}  // namespace

int32_t IniTableFirstLoss(IniTable* table) {
    if (table == nullptr) {
        return -1;
    }
    const Table again = Reloaded(table);
    if (again == nullptr) {
        return 0;
    }
    if (again->used != table->used) {
        // Something came back that was not saved, or went missing: find which entry changed.
        for (int32_t i = 0; i < table->capacity; ++i) {
            if (table->entries[i].key[0] != 0 &&
                IniTableFind(again.get(), table->entries[i].key, nullptr) == nullptr) {
                return i;
            }
        }
    }
    // Same number of entries: each one must come back with its value, and the enumeration order
    // (sections, then each section's keys) must be the same.
    for (int32_t i = 0; i < table->capacity; ++i) {
        const IniEntry& entry = table->entries[i];
        if (entry.key[0] == 0) {
            continue;
        }
        const char16_t* value = IniTableFind(again.get(), entry.key, nullptr);
        if (value == nullptr || std::u16string_view(value) != entry.value) {
            return i;
        }
    }
    const int32_t sections = IniTableSectionCount(table);
    for (int32_t s = 0; s < sections; ++s) {
        const char16_t* name = IniTableSectionName(table, s);
        const int32_t keys = IniTableKeyCount(table, name);
        for (int32_t k = 0; k < keys; ++k) {
            const char16_t* key = IniTableKeyName(table, name, k);
            const char16_t* other = IniTableKeyName(again.get(), name, k);
            if (other == nullptr || std::u16string_view(key) != other) {
                const std::u16string composed = std::u16string(name) + u"#" + key;
                for (int32_t i = 0; i < table->capacity; ++i) {
                    if (composed == table->entries[i].key) {
                        return i;
                    }
                }
            }
        }
    }
    return -1;
}

int32_t IniEntryLoss(const char16_t* section, const char16_t* key, const char16_t* value) {
    if (section == nullptr || !Survives(section, nullptr, nullptr)) {
        return kIniSectionLost;
    }
    if (key == nullptr) {
        return kIniNothingLost;
    }
    if (!Survives(section, key, u"1")) {
        return kIniKeyLost;
    }
    if (value == nullptr || !Survives(u"s", u"k", value) || !Survives(section, key, value)) {
        return kIniValueLost;
    }
    return kIniNothingLost;
}
