// The table: hashing, slot order, growth, limits, typed access, removal and enumeration.
#include "ini/ini_table.h"
#include "ini/ini_load.h"
#include "ini/ini_write.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ini_test_util.h"

namespace {

using ini_test::Dump;

using ini_test::TablePtr;

TablePtr NewTable() {
    return TablePtr(IniTableCreate(0));
}

std::u16string Repeat(char16_t c, std::size_t n) {
    return std::u16string(n, c);
}

// Values computed once with a few lines of Python, independently of this code.
struct HashCase {
    const char16_t* text;
    uint32_t hash;
};
class HashTest : public ::testing::TestWithParam<HashCase> {};

TEST_P(HashTest, MatchesIndependentValue) {
    EXPECT_EQ(IniHash(GetParam().text), GetParam().hash);
}

INSTANTIATE_TEST_SUITE_P(Known, HashTest,
                         ::testing::Values(HashCase{u"", 0x0u}, HashCase{u"a", 0xca2e9442u},
                                           HashCase{u"__default", 0x1ec01acau},
                                           HashCase{u"Config#SoftwareVersion", 0xbf1f22d8u},
                                           HashCase{u"UpdateInfo#IsPatch", 0x2a307070u},
                                           // non-ASCII units and a surrogate pair
                                           HashCase{u"\u7248\u672c#\U0001F600", 0xdc9ae4f4u}));

TEST(IniTableTest, RemovedSlotIsRefilledByTheNextNewEntry) {
    TablePtr t = NewTable();
    IniTableSetString(t.get(), u"A", u"one", u"1");
    IniTableSetString(t.get(), u"A", u"two", u"2");
    IniTableSetString(t.get(), u"A", u"three", u"3");
    IniTableRemoveKey(t.get(), u"A", u"one");
    IniTableSetString(t.get(), u"B", u"four", u"4");
    // Section B's entry takes the hole of A#one; its key goes after the others.
    EXPECT_EQ(Dump(t.get()), "A=|B=|A#two=2|A#three=3|B#four=4");
    EXPECT_EQ(t->used, 5);
    EXPECT_EQ(std::u16string(IniTableKeyName(t.get(), u"A", 0)), u"two");
}

TEST(IniTableTest, ThirtyThirdEntryGrowsToSixtyFourSlotsKeepingPositions) {
    TablePtr t = NewTable();
    ASSERT_EQ(t->capacity, 32);
    for (int i = 0; i < 32; ++i) {
        IniTableSet(t.get(), platform::Utf8ToUtf16("k" + std::to_string(i)).c_str(), u"v");
    }
    EXPECT_EQ(t->capacity, 32);
    IniTableSet(t.get(), u"k32", u"v");
    EXPECT_EQ(t->capacity, 64);
    EXPECT_EQ(t->used, 33);
    for (int i = 0; i < 33; ++i) {
        EXPECT_EQ(platform::Utf16ToUtf8(t->entries[i].key), "k" + std::to_string(i));
    }
    for (int i = 33; i < 64; ++i) {
        EXPECT_EQ(t->entries[i].key[0], 0);
        EXPECT_EQ(t->entries[i].hash, 0u);
    }
    EXPECT_EQ(TablePtr(IniTableCreate(100))->capacity, 100);
    EXPECT_EQ(TablePtr(IniTableCreate(-5))->capacity, 32);
}

// Copying a value from one entry to another is natural; when the copy makes the table grow, the
// source moves with the slot array and must have been read before.
TEST(IniTableTest, ValueTakenFromTheTableSurvivesItsGrowth) {
    TablePtr t = NewTable();
    IniTableSetString(t.get(), u"S", u"x", u"copied value");
    for (int i = 0; t->used < t->capacity; ++i) {
        IniTableSet(t.get(), platform::Utf8ToUtf16("k" + std::to_string(i)).c_str(), u"v");
    }
    IniTableSetString(t.get(), u"T", u"k", IniTableGetString(t.get(), u"S", u"x", nullptr));
    IniTableSet(t.get(), u"U", IniTableGetString(t.get(), u"T", u"k", nullptr));
    EXPECT_EQ(t->capacity, 64);
    EXPECT_EQ(platform::Utf16ToUtf8(IniTableGetString(t.get(), u"T", u"k", u"")), "copied value");
    EXPECT_EQ(platform::Utf16ToUtf8(IniTableGetString(t.get(), u"U", nullptr, u"")),
              "copied value");
}

// Items longer than their fields: what is kept, and that nothing is written past a field (ASan).
struct LimitCase {
    const char* name;
    std::u16string section;
    std::u16string key;
    std::u16string value;
    std::size_t keptKeyUnits;    // length of the stored composed key, 0 when refused
    std::size_t keptValueUnits;  // length of the stored value
};
class LimitTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(LimitTest, KeepsAtMostTheFieldAndNeverAnotherEntry) {
    const LimitCase& c = GetParam();
    TablePtr t = NewTable();
    IniTableSetString(t.get(), c.section.c_str(), c.key.c_str(), c.value.c_str());
    const IniEntry* stored = nullptr;
    for (int32_t i = 0; i < t->capacity; ++i) {
        const std::u16string_view key(t->entries[i].key);
        if (!key.empty() && key.find(u'#') != std::u16string_view::npos) {
            stored = &t->entries[i];
        }
    }
    if (c.keptKeyUnits == 0) {
        EXPECT_EQ(stored, nullptr);
        EXPECT_EQ(t->used, 0) << "a refused key must not create its section either";
        return;
    }
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(std::u16string_view(stored->key).size(), c.keptKeyUnits);
    EXPECT_EQ(std::u16string_view(stored->value).size(), c.keptValueUnits);
    // The same long arguments find what was stored.
    EXPECT_EQ(IniTableGetString(t.get(), c.section.c_str(), c.key.c_str(), nullptr), stored->value);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LimitTest,
    ::testing::Values(
        LimitCase{"fits", Repeat(u's', 100), Repeat(u'k', 154), u"v", 255, 1},
        LimitCase{"long_key_cut", u"S", Repeat(u'k', 600), Repeat(u'v', 255), 255, 255},
        LimitCase{"long_value_cut", u"S", u"k", Repeat(u'v', 5000), 3, 255},
        LimitCase{"no_room_for_key", Repeat(u's', 254), u"k", u"v", 0, 0},
        LimitCase{"section_too_long", Repeat(u's', 300), u"k", u"v", 0, 0},
        // A surrogate pair on the limit is dropped whole instead of being split.
        LimitCase{"pair_on_key_limit", u"S", Repeat(u'k', 252) + u"\U0001F600", u"v", 254, 1},
        LimitCase{"pair_on_value_limit", u"S", u"k", Repeat(u'v', 254) + u"\U0001F600", 3, 254}),
    [](const auto& info) { return std::string(info.param.name); });

struct BoolCase {
    const char16_t* value;  // null: key absent
    bool fallback;
    bool expected;
};
class GetBoolTest : public ::testing::TestWithParam<BoolCase> {};

TEST_P(GetBoolTest, FirstUnitDecides) {
    TablePtr t = NewTable();
    if (GetParam().value != nullptr) {
        IniTableSetString(t.get(), u"S", u"k", GetParam().value);
    }
    EXPECT_EQ(IniTableGetBool(t.get(), u"S", u"k", GetParam().fallback), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, GetBoolTest,
    ::testing::Values(BoolCase{u"true", false, true}, BoolCase{u"yes", false, true},
                      BoolCase{u"Y", false, true}, BoolCase{u"1", false, true},
                      BoolCase{u"tRUE", false, true}, BoolCase{u"False", true, false},
                      BoolCase{u"no", true, false}, BoolCase{u"N", true, false},
                      BoolCase{u"0", true, false}, BoolCase{u"", true, true},
                      BoolCase{u"", false, false}, BoolCase{u"maybe", true, true},
                      BoolCase{u" true", false, false}, BoolCase{nullptr, true, true},
                      BoolCase{nullptr, false, false}));

struct IntCase {
    const char16_t* text;
    int32_t expected;
};
class ParseIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(ParseIntTest, Converts) {
    EXPECT_EQ(IniParseInt(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseIntTest,
    ::testing::Values(IntCase{u"42", 42}, IntCase{u" \t\v\f-17", -17}, IntCase{u"+8", 8},
                      IntCase{u"123abc", 123}, IntCase{u"abc", 0}, IntCase{u"", 0},
                      IntCase{u"-", 0}, IntCase{u"+-3", 0}, IntCase{u"2147483647", 2147483647},
                      IntCase{u"2147483648", 2147483647}, IntCase{u"-2147483648", -2147483647 - 1},
                      IntCase{u"-99999999999999999999", -2147483647 - 1},
                      IntCase{u"99999999999999999999999999", 2147483647},
                      IntCase{u"\u0663", 0}));  // non-ASCII digits are not digits

TEST(IniTableTest, NumberAndTruthSettersStoreTheirText) {
    TablePtr t = NewTable();
    IniTableSetBool(t.get(), u"S", u"b1", true);
    IniTableSetBool(t.get(), u"S", u"b0", false);
    IniTableSetInt(t.get(), u"S", u"min", -2147483647 - 1);
    IniTableSetReal(t.get(), u"S", u"r1", 0.1);
    IniTableSetReal(t.get(), u"S", u"r2", 1234567.0);
    IniTableSetReal(t.get(), u"S", u"r3", -2.5e-7);
    EXPECT_EQ(Dump(t.get()),
              "S=|S#b1=true|S#b0=false|S#min=-2147483648|S#r1=0.1|S#r2=1.23457e+06|"
              "S#r3=-2.5e-07");
    EXPECT_EQ(IniTableGetInt(t.get(), u"S", u"min", 5), -2147483647 - 1);
    EXPECT_EQ(IniTableGetInt(t.get(), u"S", u"absent", 5), 5);
}

TEST(IniTableTest, SectionEntryIsResetByItsKeysAndCutLikeThem) {
    TablePtr t = NewTable();
    IniTableSetString(t.get(), u"S", nullptr, u"own");
    EXPECT_EQ(std::u16string(IniTableGetString(t.get(), u"S", nullptr, u"-")), u"own");
    IniTableSetString(t.get(), u"S", u"k", u"v");
    EXPECT_EQ(std::u16string(IniTableGetString(t.get(), u"S", nullptr, u"-")), u"");
    // No section name means the default section.
    IniTableSetString(t.get(), nullptr, u"d", u"1");
    EXPECT_EQ(std::u16string(IniTableGetString(t.get(), u"__default", u"d", u"-")), u"1");
    // A long section entry is cut and found by the same long name.
    t = NewTable();
    const std::u16string name = Repeat(u'n', 400);
    IniTableSetString(t.get(), name.c_str(), nullptr, u"v");
    EXPECT_EQ(std::u16string_view(t->entries[0].key).size(), 255u);
    EXPECT_EQ(std::u16string(IniTableGetString(t.get(), name.c_str(), nullptr, u"absent")), u"v");
}

TEST(IniTableTest, RemoveSectionLeavesSectionsThatOnlyShareAPrefix) {
    TablePtr t = NewTable();
    IniTableSetString(t.get(), u"Config", u"a", u"1");
    IniTableSetString(t.get(), u"ConfigX", u"b", u"2");
    IniTableSetString(t.get(), u"Config", u"c", u"3");
    IniTableSetString(t.get(), u"Conf", u"d", u"4");
    IniTableRemoveSection(t.get(), u"Config");
    EXPECT_EQ(Dump(t.get()), "ConfigX=|ConfigX#b=2|Conf=|Conf#d=4");
    EXPECT_EQ(t->used, 4);
    IniTableRemoveSection(t.get(), u"Missing");
    IniTableRemoveKey(t.get(), u"Conf", u"nothing");
    EXPECT_EQ(t->used, 4);
}

TEST(IniTableTest, EnumerationFollowsSlotOrder) {
    TablePtr t = NewTable();
    IniTableSetString(t.get(), u"A", u"a1", u"1");
    IniTableSetString(t.get(), u"B", u"b1", u"1");
    IniTableSetString(t.get(), u"A", u"a2", u"2");
    IniTableSetString(t.get(), u"a", u"x", u"3");  // another section: no case folding
    EXPECT_EQ(IniTableSectionCount(t.get()), 3);
    EXPECT_EQ(std::u16string(IniTableSectionName(t.get(), 0)), u"A");
    EXPECT_EQ(std::u16string(IniTableSectionName(t.get(), 1)), u"B");
    EXPECT_EQ(std::u16string(IniTableSectionName(t.get(), 2)), u"a");
    EXPECT_EQ(std::u16string(IniTableSectionName(t.get(), 3)), u"__default");
    EXPECT_EQ(IniTableSectionName(t.get(), -1), nullptr);
    EXPECT_EQ(IniTableKeyCount(t.get(), u"A"), 2);
    EXPECT_EQ(IniTableKeyCount(t.get(), u"Z"), 0);
    EXPECT_EQ(std::u16string(IniTableKeyName(t.get(), u"A", 1)), u"a2");
    EXPECT_EQ(IniTableKeyName(t.get(), u"A", 2), nullptr);
    EXPECT_EQ(IniTableKeyName(t.get(), u"A", -1), nullptr);
}

TEST(IniTableTest, MissingTableOrEmptyNamesDoNothing) {
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
    TablePtr t = NewTable();
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
