// The table: hashing, slot order, growth, limits, typed access, removal and enumeration.
#include "ini/ini_table.h"
#include "ini/ini_document.h"
#include "ini/ini_load.h"
#include "ini/ini_write.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ini_test_util.h"

namespace {

using ini_test::Dump;
using ini_test::TablePtr;

using U16 = std::u16string;

// Hash values computed once with a few lines of Python, independently of this code; the last
// row has non-ASCII units and a surrogate pair.
TEST(IniTableTest, HashMatchesIndependentValues) {
    const std::pair<const char16_t*, uint32_t> rows[] = {{u"", 0x0u},
                                                         {u"a", 0xca2e9442u},
                                                         {u"__default", 0x1ec01acau},
                                                         {u"Config#SoftwareVersion", 0xbf1f22d8u},
                                                         {u"UpdateInfo#IsPatch", 0x2a307070u},
                                                         {u"\u7248\u672c#\U0001F600", 0xdc9ae4f4u}};
    for (const auto& [text, hash] : rows) {
        EXPECT_EQ(IniHash(text), hash) << ::testing::PrintToString(text);
    }
}

// The 33rd entry grows the table to 64 slots, every entry keeping its slot. A value read from the
// table and set again while the table grows moves with the slots, so it must be read before.
TEST(IniTableTest, GrowthKeepsSlotsAndValuesTakenFromTheTable) {
    TablePtr t(IniTableCreate(0));
    IniTableSetString(t.get(), u"S", u"x", u"copied value");
    std::vector<std::string> keys = {"S", "S#x"};
    while (keys.size() < 32) {
        keys.push_back("k" + std::to_string(keys.size()));
        IniTableSet(t.get(), platform::Utf8ToUtf16(keys.back()).c_str(), u"v");
    }
    EXPECT_EQ(t->capacity, 32);
    IniTableSetString(t.get(), u"T", u"k", IniTableGetString(t.get(), u"S", u"x", nullptr));
    IniTableSet(t.get(), u"U", IniTableGetString(t.get(), u"T", u"k", nullptr));
    keys.insert(keys.end(), {"T", "T#k", "U"});
    EXPECT_EQ(t->capacity, 64);
    EXPECT_EQ(t->used, 35);
    for (std::size_t i = 0; i < 64; ++i) {
        EXPECT_EQ(platform::Utf16ToUtf8(t->entries[i].key), i < keys.size() ? keys[i] : "");
        EXPECT_TRUE(i < keys.size() || t->entries[i].hash == 0u) << i;
    }
    EXPECT_EQ(std::u16string(IniTableGetString(t.get(), u"T", u"k", u"")), u"copied value");
    EXPECT_EQ(std::u16string(IniTableGetString(t.get(), u"U", nullptr, u"")), u"copied value");
    IniTableReserve(t.get(), 30);  // one more than the 29 free slots: 32 more, as growth gives
    EXPECT_EQ(t->capacity, 96);
    EXPECT_EQ(TablePtr(IniTableCreate(100))->capacity, 100);
    EXPECT_EQ(TablePtr(IniTableCreate(-5))->capacity, 32);
}

// Items longer than their fields: what is kept, and that nothing is written past a field (ASan).
// Values replaced by shorter, longer and full-length ones and entries removed and added again,
// far beyond what the text first held (so its store is compacted, moving the entries): every
// entry keeps its key and value, against a model kept beside the table, and a value set from one
// read out of the table arrives whole.
TEST(IniTableTest, ReplacedAndRemovedTextLeavesEveryEntryIntact) {
    TablePtr t(IniTableCreate(0));
    std::vector<std::string> model(40);
    for (int round = 0; round < 60; ++round) {
        for (std::size_t k = 0; k < model.size(); ++k) {
            const U16 key = u"k" + platform::Utf8ToUtf16(std::to_string(k));
            if ((k + round) % 7 == 0) {
                IniTableUnset(t.get(), key.c_str());
                model[k].clear();
                continue;
            }
            const std::size_t length = (k * 37 + round * 11) % 300;  // up to past the field
            const std::string value(length, static_cast<char>('a' + (k + round) % 26));
            IniTableSet(t.get(), key.c_str(), platform::Utf8ToUtf16(value).c_str());
            model[k] = value.substr(0, kIniMaxUnits);
        }
        IniTableSet(t.get(), u"copy", IniTableFind(t.get(), u"k1", u""));
        ASSERT_EQ(platform::Utf16ToUtf8(IniTableFind(t.get(), u"copy", u"")), model[1]) << round;
        for (std::size_t k = 0; k < model.size(); ++k) {
            const U16 key = u"k" + platform::Utf8ToUtf16(std::to_string(k));
            const bool stored = (k + round) % 7 != 0;
            const char16_t* value = IniTableFind(t.get(), key.c_str(), nullptr);
            ASSERT_EQ(value != nullptr, stored) << round << " " << k;
            if (stored) {
                ASSERT_EQ(platform::Utf16ToUtf8(value), model[k]) << round << " " << k;
            }
        }
        // The slots, which enumeration and saving read, hold the same entries.
        std::vector<std::string> expected = {"copy=" + model[1]};
        for (std::size_t k = 0; k < model.size(); ++k) {
            if ((k + round) % 7 != 0) {
                expected.push_back("k" + std::to_string(k) + "=" + model[k]);
            }
        }
        std::vector<std::string> slots;
        std::stringstream dump(Dump(t.get()));
        for (std::string line; std::getline(dump, line, '|');) {
            slots.push_back(line);
        }
        std::sort(expected.begin(), expected.end());
        std::sort(slots.begin(), slots.end());
        ASSERT_EQ(slots, expected) << round;
    }
}

TEST(IniTableTest, LimitsKeepAtMostTheFieldAndNeverAnotherEntry) {
    const struct {
        const char* what;
        U16 section, key, value;
        std::size_t keptKeyUnits;  // units of the composed key "section#key" kept, 0: refused
        std::size_t keptValueUnits;
    } rows[] = {
        {"fits", U16(100, u's'), U16(154, u'k'), u"v", 255, 1},
        {"long key cut", u"S", U16(600, u'k'), U16(255, u'v'), 255, 255},
        {"long value cut", u"S", u"k", U16(5000, u'v'), 3, 255},
        {"section leaving one unit", U16(253, u's'), u"k", u"v", 255, 1},
        {"no room for the key", U16(254, u's'), u"k", u"v", 0, 0},
        {"section too long", U16(300, u's'), u"k", u"v", 0, 0},
        // A surrogate pair on the limit is dropped whole instead of being split.
        {"pair on the key limit", u"S", U16(252, u'k') + u"\U0001F600", u"v", 254, 1},
        {"pair on the value limit", u"S", u"k", U16(254, u'v') + u"\U0001F600", 3, 254},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TablePtr t(IniTableCreate(0));
        IniTableSetString(t.get(), row.section.c_str(), row.key.c_str(), row.value.c_str());
        const U16 key = (row.section + u"#" + row.key).substr(0, row.keptKeyUnits);
        const U16 value = row.value.substr(0, row.keptValueUnits);
        const std::string dump = platform::Utf16ToUtf8(row.section + u"=|" + key + u"=" + value);
        EXPECT_EQ(Dump(t.get()), row.keptKeyUnits == 0 ? "" : dump);  // refused: no section
        // The same long arguments find what was stored.
        EXPECT_EQ(IniTableGetString(t.get(), row.section.c_str(), row.key.c_str(), u"-"),
                  row.keptKeyUnits == 0 ? u"-" : value);
    }
}

// Truth: the first unit of a value decides; no value, an empty or an unknown one gives the
// fallback. Numbers: blanks are skipped and numbers saturate; non-ASCII digits (U+0663) are not
// digits. Each number row: a number and the texts that give it.
TEST(IniTableTest, TypedReads) {
    const std::tuple<const char16_t*, bool, bool> truths[] = {
        {u"true", false, true},   {u"yes", false, true},  {u"Y", false, true},
        {u"1", false, true},      {u"tRUE", false, true}, {u"False", true, false},
        {u"no", true, false},     {u"N", true, false},    {u"0", true, false},
        {u"", true, true},        {u"", false, false},    {u"maybe", true, true},
        {u" true", false, false}, {nullptr, true, true},  {nullptr, false, false}};
    for (const auto& [value, fallback, expected] : truths) {
        TablePtr t(IniTableCreate(0));
        if (value != nullptr) {
            IniTableSetString(t.get(), u"S", u"k", value);
        }
        EXPECT_EQ(IniTableGetBool(t.get(), u"S", u"k", fallback), expected)
            << ::testing::PrintToString(value) << " fallback " << fallback;
    }
    const std::pair<int32_t, std::vector<const char16_t*>> numbers[] = {
        {42, {u"42"}},
        {-17, {u" \t\v\f-17"}},
        {8, {u"+8"}},
        {123, {u"123abc"}},
        {0, {u"abc", u"", u"-", u"+-3", u"\u0663"}},
        {INT32_MAX, {u"2147483647", u"2147483648", u"99999999999999999999999999"}},
        {INT32_MIN, {u"-2147483648", u"-99999999999999999999"}}};
    for (const auto& [expected, texts] : numbers) {
        for (const char16_t* text : texts) {
            EXPECT_EQ(IniParseInt(text), expected) << ::testing::PrintToString(text);
        }
    }
}

// The table as the enumeration calls see it: "section:key,key" per section in order, joined by
// '|'; past the last section the default section's name.
std::string Enumerate(IniTable* t) {
    std::string out;
    const int32_t sections = IniTableSectionCount(t);
    EXPECT_EQ(IniTableSectionName(t, -1), nullptr);
    for (int32_t s = 0; s < sections; ++s) {
        const char16_t* name = IniTableSectionName(t, s);
        out += platform::Utf16ToUtf8(name) + ":";
        const int32_t keys = IniTableKeyCount(t, name);
        for (int32_t k = 0; k < keys; ++k) {
            out += platform::Utf16ToUtf8(IniTableKeyName(t, name, k)) + (k + 1 < keys ? "," : "");
        }
        EXPECT_EQ(IniTableKeyName(t, name, keys), nullptr);
        EXPECT_EQ(IniTableKeyName(t, name, -1), nullptr);
        out += "|";
    }
    return out + platform::Utf16ToUtf8(IniTableSectionName(t, sections));
}

void SetAll(IniTable* t, std::initializer_list<std::array<const char16_t*, 3>> entries) {
    for (const auto& [section, key, value] : entries) {
        IniTableSetString(t, section, key, value);
    }
}

std::string Get(IniTable* t, const char16_t* section, const char16_t* key) {
    return platform::Utf16ToUtf8(IniTableGetString(t, section, key, u"-"));
}

// Operations on a fresh table, then its slots, its enumeration and what the operations read.
TEST(IniTableTest, OperationsGiveSlotsAndEnumeration) {
    const struct {
        const char* what;
        std::string (*operations)(IniTable*);
        std::string read, dump, enumeration;
    } rows[] = {
        {"a removed slot is refilled by the next new entry",
         [](IniTable* t) {
             SetAll(t, {{u"A", u"one", u"1"}, {u"A", u"two", u"2"}, {u"A", u"three", u"3"}});
             IniTableRemoveKey(t, u"A", u"one");
             IniTableSetString(t, u"B", u"four", u"4");
             return std::string();
         },
         "", "A=|B=|A#two=2|A#three=3|B#four=4", "A:two,three|B:four|__default"},
        {"number and truth setters store their text",
         [](IniTable* t) {
             IniTableSetBool(t, u"S", u"b1", true);
             IniTableSetBool(t, u"S", u"b0", false);
             IniTableSetInt(t, u"S", u"min", -2147483647 - 1);
             IniTableSetReal(t, u"S", u"r1", 0.1);
             IniTableSetReal(t, u"S", u"r2", 1234567.0);
             IniTableSetReal(t, u"S", u"r3", -2.5e-7);
             return std::to_string(IniTableGetInt(t, u"S", u"min", 5)) + "," +
                    std::to_string(IniTableGetInt(t, u"S", u"absent", 5));
         },
         "-2147483648,5",
         "S=|S#b1=true|S#b0=false|S#min=-2147483648|S#r1=0.1|S#r2=1.23457e+06|S#r3=-2.5e-07",
         "S:b1,b0,min,r1,r2,r3|__default"},
        {"a section entry is reset by its keys; no section is the default one",
         [](IniTable* t) {
             IniTableSetString(t, u"S", nullptr, u"own");
             const std::string before = Get(t, u"S", nullptr);
             IniTableSetString(t, u"S", u"k", u"v");
             IniTableSetString(t, nullptr, u"d", u"1");
             return before + "," + Get(t, u"S", nullptr) + "," + Get(t, u"__default", u"d");
         },
         "own,,1", "S=|S#k=v|__default=|__default#d=1", "S:k|__default:d|__default"},
        {"a long section entry is cut and found by the same long name",
         [](IniTable* t) {
             const U16 name(400, u'n');
             IniTableSetString(t, name.c_str(), nullptr, u"v");
             return Get(t, name.c_str(), nullptr);
         },
         "v", std::string(255, 'n') + "=v", std::string(255, 'n') + ":|__default"},
        {"removing a section leaves those that only share a prefix",
         [](IniTable* t) {
             SetAll(t, {{u"Config", u"a", u"1"},
                        {u"ConfigX", u"b", u"2"},
                        {u"Config", u"c", u"3"},
                        {u"Conf", u"d", u"4"}});
             IniTableRemoveSection(t, u"Config");
             IniTableRemoveSection(t, u"Missing");
             IniTableRemoveKey(t, u"Conf", u"nothing");
             return std::string();
         },
         "", "ConfigX=|ConfigX#b=2|Conf=|Conf#d=4", "ConfigX:b|Conf:d|__default"},
        {"enumeration follows slot order, without case folding",
         [](IniTable* t) {
             SetAll(t, {{u"A", u"a1", u"1"}, {u"B", u"b1", u"1"}, {u"A", u"a2", u"2"}});
             IniTableSetString(t, u"a", u"x", u"3");  // another section: no case folding
             return std::to_string(IniTableKeyCount(t, u"Z"));
         },
         "0", "A=|A#a1=1|B=|B#b1=1|A#a2=2|a=|a#x=3", "A:a1,a2|B:b1|a:x|__default"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TablePtr t(IniTableCreate(0));
        EXPECT_EQ(row.operations(t.get()), row.read);
        EXPECT_EQ(Dump(t.get()), row.dump);
        EXPECT_EQ(t->used, std::count(row.dump.begin(), row.dump.end(), '|') + 1);
        EXPECT_EQ(Enumerate(t.get()), row.enumeration);
    }
}

// Without a table or a document every call fails or does nothing.
TEST(IniTableTest, NoTableNoDocumentOrEmptyNamesDoNothing) {
    const char16_t fallback[] = u"d";
    IniTableSet(nullptr, u"k", u"v");
    IniTableSetString(nullptr, u"S", u"k", u"v");
    IniTableUnset(nullptr, u"k");
    IniTableRemoveSection(nullptr, u"S");
    IniTableWrite(u"\\x.ini", nullptr);
    EXPECT_EQ(IniTableFind(nullptr, u"k", fallback), fallback);
    EXPECT_EQ(IniTableGetString(nullptr, u"S", u"k", fallback), fallback);
    EXPECT_EQ(IniTableSectionCount(nullptr), -1);
    EXPECT_EQ(IniTableSectionName(nullptr, 0), nullptr);
    EXPECT_EQ(IniTableKeyCount(nullptr, u"S"), -1);
    EXPECT_EQ(IniTableLoad(u"\\x.ini", nullptr), 0);
    char16_t buffer[kIniFieldUnits] = u"x";
    int32_t number = 5;
    EXPECT_EQ(IniOpen(nullptr), nullptr);
    EXPECT_EQ(IniGetString(nullptr, u"S", u"k", buffer), -1);
    EXPECT_EQ(IniGetInt(nullptr, u"S", u"k", &number), -1);
    EXPECT_EQ(number, 5);
    EXPECT_EQ(IniSetString(nullptr, u"S", u"k", u"v"), -1);
    EXPECT_EQ(IniSetInt(nullptr, u"S", u"k", 1), -1);
    EXPECT_EQ(IniSectionCount(nullptr), 0);
    EXPECT_EQ(IniSectionName(nullptr, 0), nullptr);
    EXPECT_EQ(IniKeyCount(nullptr, u"S"), 0);
    EXPECT_EQ(IniKeyName(nullptr, u"S", 0), nullptr);
    IniSave(nullptr);
    IniClose(nullptr);
    TablePtr t(IniTableCreate(0));
    IniTableSet(t.get(), nullptr, u"v");
    IniTableRemoveKey(t.get(), u"S", nullptr);
    EXPECT_EQ(IniTableKeyCount(t.get(), nullptr), -1);
    EXPECT_EQ(IniTableKeyName(t.get(), nullptr, 0), nullptr);
    EXPECT_EQ(IniTableLoad(nullptr, t.get()), 0);
    // An empty key is never stored as an occupied slot.
    IniTableSet(t.get(), u"", u"v");
    IniTableSetString(t.get(), u"", u"k", u"v");
    IniTableSetString(t.get(), u"", nullptr, u"v");
    EXPECT_EQ(t->used, 0);
}

}  // namespace
