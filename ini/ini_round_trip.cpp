// Whether entries survive a save and a reload, found by doing both: the saved bytes of the writer
// go through the loader, so the answer can never drift from either.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ini/ini_round_trip.h"

#include "ini/ini_load.h"
#include "ini/ini_write.h"

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

// The enumeration order of a table: section names with their slots in slot order, and for each
// section the composed keys of its keys with their slots in slot order.
struct Order {
    using Named = std::pair<std::u16string_view, int32_t>;
    std::vector<Named> sections;
    std::unordered_map<std::u16string_view, std::vector<Named>> keys;
};

Order OrderOf(const IniTable* table) {
    Order order;
    for (int32_t i = 0; i < table->capacity; ++i) {
        const std::u16string_view key(table->entries[i].key);
        if (key.empty()) {
            continue;
        }
        const std::size_t hash = key.find(u'#');
        if (hash == std::u16string_view::npos) {
            order.sections.emplace_back(key, i);
        } else {
            order.keys[key.substr(0, hash)].emplace_back(key, i);
        }
    }
    return order;
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
    // Every entry must come back with its value...
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
    // ...and in its place of the enumeration: sections in order, each one's keys in order.
    const Order before = OrderOf(table);
    const Order after = OrderOf(again.get());
    std::size_t shift = 0;  // an empty "__default" that only the reload has
    if (!after.sections.empty() && after.sections[0].first == kIniDefaultSection &&
        (before.sections.empty() || before.sections[0].first != kIniDefaultSection)) {
        shift = 1;
    }
    for (std::size_t s = 0; s < before.sections.size(); ++s) {
        const auto& [name, slot] = before.sections[s];
        if (s + shift >= after.sections.size() || after.sections[s + shift].first != name) {
            return slot;
        }
        const auto mine = before.keys.find(name);
        const auto theirs = after.keys.find(name);
        if (mine == before.keys.end()) {
            continue;
        }
        for (std::size_t k = 0; k < mine->second.size(); ++k) {
            if (theirs == after.keys.end() || k >= theirs->second.size() ||
                theirs->second[k].first != mine->second[k].first) {
                return mine->second[k].second;
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
