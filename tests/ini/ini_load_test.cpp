// The loader: the line forms, their order, trimming, quotes, comments and malformed files.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "ini/ini_load.h"
#include "ini/ini_round_trip.h"
#include "ini/ini_table.h"
#include "ini/ini_write.h"
#include "ini_test_util.h"

namespace {

using ini_test::Bytes;
using ini_test::Dump;
using ini_test::Utf16Le;

using ini_test::TablePtr;

class LoadTest : public ini_test::DeviceRootTest {
  protected:
    // Loads `bytes` from memory; returns the load's result and leaves the table in table_.
    int32_t Load(const Bytes& bytes) {
        table_.reset(IniTableCreate(0));
        return IniTableLoadBytes(bytes, table_.get());
    }
    TablePtr table_;
};

// One line form per case: the file body (after the mark) and the table it gives, in slot order.
struct FormCase {
    const char* name;
    std::u16string body;
    std::string dump;
};
class LineFormTest : public LoadTest, public ::testing::WithParamInterface<FormCase> {};

TEST_P(LineFormTest, GivesTheExpectedTable) {
    Bytes bytes = Utf16Le(GetParam().body);
    ASSERT_EQ(Load(bytes), 1);
    EXPECT_EQ(Dump(table_.get()), GetParam().dump);
    bytes.push_back('3');  // an odd trailing byte is ignored
    ASSERT_EQ(Load(bytes), 1);
    EXPECT_EQ(Dump(table_.get()), GetParam().dump);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LineFormTest,
    ::testing::Values(
        FormCase{"mark_only", u"", "__default="},
        FormCase{"keys_before_header", u"a=1\n[S]\nb=2\n", "__default=|__default#a=1|S=|S#b=2"},
        FormCase{"default_header_continues", u"a=1\n[S]\n[__default]\nb=2\n",
                 "__default=|__default#a=1|S=|__default#b=2"},
        FormCase{"trimmed_key_and_value", u"  \t\v\fkey \v\f=\f\v some value \t\v\f\n",
                 "__default=|__default#key=some value"},
        FormCase{"inline_comments", u"a = 1 ; note\nb = 2# note\n",
                 "__default=|__default#a=1|__default#b=2"},
        FormCase{"empty_values_dropped", u"a=\nb = ;c\nc =   # c\n", "__default="},
        FormCase{"empty_quotes_kept", u"a = \"\"\nb = ''\nc = \"\" ; x\n",
                 "__default=|__default#a=|__default#b=|__default#c="},
        FormCase{"quotes_protect_comment_marks", u"a = \"x;y#z\"\nb = 'p#q;r'\n",
                 "__default=|__default#a=x;y#z|__default#b=p#q;r"},
        FormCase{"quoted_value_trimmed", u"a = \"  padded  \"\n", "__default=|__default#a=padded"},
        FormCase{"quote_missing_close", u"a = \"open;ended\n", "__default=|__default#a=open;ended"},
        FormCase{"text_after_closing_quote", u"a = \"in\" out\n", "__default=|__default#a=in"},
        FormCase{"quote_inside_plain_value", u"a = x\"y\"\n", "__default=|__default#a=x\"y\""},
        FormCase{"lone_quote", u"a = \"\n", "__default=|__default#a=\""},
        FormCase{"mixed_quotes", u"a = 'it\"s'\n", "__default=|__default#a=it\"s"},
        FormCase{"equals_in_value", u"a = b = c\n", "__default=|__default#a=b = c"},
        FormCase{"comment_lines", u"; c\n# c\n   ;c = 1\n\t# d = 2\n", "__default="},
        FormCase{"equals_first_ignored", u"=v\n  = w\n", "__default="},
        FormCase{"no_equals_ignored", u"just words\n", "__default="},
        FormCase{"header_spaces", u"[\v Config \f]\n", "__default=|Config="},
        FormCase{"header_without_bracket", u"[Config\nk=v\n", "__default=|Config=|Config#k=v"},
        FormCase{"header_with_trailing_text", u"[Config] junk = 1\n", "__default=|Config="},
        FormCase{"empty_header_ignored", u"[S]\n[]\nk=v\n", "__default=|S=|S#k=v"},
        // A header of white space alone opens the section "", which has no section entry.
        FormCase{"blank_header_opens_empty_section",
                 u"[Config]\nSoftwareVersion=1.0\n[ \t ]\nSoftwareVersion=2.0\n[S]\n[ ]\na=1\n",
                 "__default=|Config=|Config#SoftwareVersion=1.0|#SoftwareVersion=2.0|S=|#a=1"},
        FormCase{"blank_header_without_bracket", u"[S]\n[ \nk=v\n", "__default=|S=|S#k=v"},
        FormCase{"bracket_only_key_line", u"[]=v\n", "__default=|__default#[]=v"},
        FormCase{"case_sensitive_sections", u"[config]\na=1\n[Config]\na=2\n",
                 "__default=|config=|config#a=1|Config=|Config#a=2"},
        FormCase{"repeated_key_first_slot_last_value", u"[S]\na=1\nb=2\na=3\n",
                 "__default=|S=|S#a=3|S#b=2"},
        FormCase{"repeated_header_continues", u"[S]\na=1\n[T]\n[S]\nb=2\n",
                 "__default=|S=|S#a=1|T=|S#b=2"},
        FormCase{"crlf_and_lf_alike", u"[S]\r\na=1\r\nb=2\nc=3\r\r\n",
                 "__default=|S=|S#a=1|S#b=2|S#c=3"},
        FormCase{"no_final_line_end", u"[S]\na=last", "__default=|S=|S#a=last"},
        FormCase{"cr_only_is_one_line", u"a=1\rb=2\n", "__default=|__default#a=1\rb=2"},
        FormCase{"nul_ends_the_line_text", std::u16string(u"a=1\0b=2\nc=3\n", 12),
                 "__default=|__default#a=1|__default#c=3"},
        FormCase{"non_ascii", u"[\u7248\u672c]\n\u540d=\u503c \U0001F600\n",
                 "__default=|\u7248\u672c=|\u7248\u672c#\u540d=\u503c \U0001F600"},
        FormCase{"no_break_space_kept", u"a=\u00a0x\u00a0\n",
                 "__default=|__default#a=\u00a0x\u00a0"},
        // Lines are read in pieces of 1023 units; values keep 255 of them.
        FormCase{
            "long_lines_read_in_pieces",
            u"a=" + std::u16string(1021, u'v') + u"b=2\nx=" + std::u16string(1021, u'w') + u"c=3",
            "__default=|__default#a=" + std::string(255, 'v') + "|__default#b=2|" +
                "__default#x=" + std::string(255, 'w') + "|__default#c=3"},
        // Exactly 1023 units before the LF: the LF is read as a line of its own and skipped.
        FormCase{"line_of_1023_units_ends_at_its_lf",
                 u"a=" + std::u16string(1021, u'v') + u"\nb=2\n",
                 "__default=|__default#a=" + std::string(255, 'v') + "|__default#b=2"},
        // A long header is cut to 255 units; no room is left for "#k", so its key is refused
        // rather than stored as the section or mixed up with the next one.
        FormCase{"long_header_cut_and_its_keys_refused",
                 u"[" + std::u16string(300, u'n') + u"]\nk=v\n[S]\nk=w\n",
                 "__default=|" + std::string(255, 'n') + "=|S=|S#k=w"}),
    [](const auto& info) { return std::string(info.param.name); });

// A save never lets one entry's line move or overwrite others. A section named with '#' is
// stored as a key of the section before it ("A#[" is the key "[" of "A"); a line that would read
// back as a header or as another key is left out, so only its own entry is lost.
class SavedFormTest : public LoadTest, public ::testing::WithParamInterface<FormCase> {};

TEST_P(SavedFormTest, ReloadKeepsTheOtherEntries) {
    ASSERT_EQ(Load(Utf16Le(GetParam().body)), 1);
    const Bytes saved = IniTableBytes(table_.get(), u"x");
    ASSERT_EQ(Load(saved), 1);
    EXPECT_EQ(Dump(table_.get()), GetParam().dump);
}

INSTANTIATE_TEST_SUITE_P(Saves, SavedFormTest,
                         ::testing::Values(FormCase{"key_read_as_header", u"[A#[\n[A\n\"=\u0a20",
                                                    "__default=|A=|A#\"=\u0a20"},
                                           FormCase{"key_read_as_another_key",
                                                    u"[A]\nx=1\n[A#x=y]\n", "__default=|A=|A#x=1"},
                                           FormCase{"keys_of_hash_section_kept",
                                                    u"[A]\na=1\n[A#b]\nc=2\n",
                                                    "__default=|A=|A#a=1|A#b#c=2"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Files the loader refuses: the load returns 0 and adds nothing.
struct RefusedCase {
    const char* name;
    Bytes bytes;
};
class RefusedFileTest : public LoadTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedFileTest, FailsAndAddsNothing) {
    EXPECT_EQ(Load(GetParam().bytes), 0);
    EXPECT_EQ(table_->used, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedFileTest,
    ::testing::Values(RefusedCase{"empty", {}}, RefusedCase{"one_byte", {0xFF}},
                      RefusedCase{"big_endian_mark", {0xFE, 0xFF, 0x00, 0x61}},
                      RefusedCase{"eight_bit_text", {'[', 'C', ']', '\n', 'a', '=', '1', '\n'}},
                      RefusedCase{"utf8_mark", {0xEF, 0xBB, 0xBF, 'a', '=', '1'}},
                      RefusedCase{"no_mark", Utf16Le(u"a=1\n", false)}),
    [](const auto& info) { return std::string(info.param.name); });

// The path front door reads the file and loads its bytes, up to kIniMaxFileBytes; a larger file,
// even by a byte the loader would otherwise ignore, and a missing file add nothing.
TEST_F(LoadTest, FileGivesTheTableOfItsBytesUpToTheLimit) {
    Bytes atLimit = Utf16Le(u"[S]\na=1\n;");
    atLimit.resize(kIniMaxFileBytes, 'x');  // the comment line runs to the limit
    const struct {
        const char* what;
        Bytes bytes;
        int32_t result;
    } cases[] = {
        {"small", Utf16Le(u"[S]\na=1\n"), 1},
        {"at the limit", atLimit, 1},
        {"one byte beyond",
         [&] {
             Bytes more = atLimit;
             more.push_back('x');
             return more;
         }(),
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(u"\\t.ini", c.bytes);
        TablePtr fromFile(IniTableCreate(0));
        ASSERT_EQ(IniTableLoad(u"\\t.ini", fromFile.get()), c.result);
        ASSERT_EQ(Load(c.bytes), 1);
        EXPECT_EQ(Dump(fromFile.get()), c.result == 1 ? Dump(table_.get()) : "");
    }
    EXPECT_EQ(IniTableLoad(u"\\absent.ini", table_.get()), 0);
}

// A settings file the device must read: up to kIniMaxWantedFileBytes, keeping the wanted key alone.
TEST_F(LoadTest, WantedKeysAreReadFromAFileOfAMegabyte) {
    Bytes bytes = Utf16Le(u"[S]\n;");
    bytes.resize(kIniMaxWantedFileBytes - 16, 'x');
    const Bytes tail = Utf16Le(u"\nB=2\nA=1", false);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    ASSERT_LE(bytes.size(), kIniMaxWantedFileBytes);
    WriteFile(u"\\t.ini", bytes);
    TablePtr wanted(IniTableCreate(0));
    IniTableSetString(wanted.get(), u"S", u"A", u"");
    table_.reset(IniTableCreate(0));
    ASSERT_EQ(IniTableLoadWanted(u"\\t.ini", wanted.get(), table_.get()), 1);
    EXPECT_EQ(Dump(table_.get()), "S=|S#A=1");
    bytes.resize(kIniMaxWantedFileBytes + 1, 'x');
    WriteFile(u"\\t.ini", bytes);
    EXPECT_EQ(IniTableLoadWanted(u"\\t.ini", wanted.get(), table_.get()), 0);
}

// Whether an entry survives a save and a reload, against the loader's line rules above: the
// writer puts "key = value" and "[section]" without quotes, so each row names the rule that keeps
// or loses it.
struct LossCase {
    const char* name;
    std::u16string section, key, value;
    int32_t lost;
};
class EntryLossTest : public ::testing::TestWithParam<LossCase> {};

TEST_P(EntryLossTest, AgreesWithTheLoader) {
    const LossCase& c = GetParam();
    EXPECT_EQ(IniEntryLoss(c.section.c_str(), c.key.c_str(), c.value.c_str()), c.lost);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, EntryLossTest,
    ::testing::Values(
        LossCase{"plain", u"Config", u"SoftwareVersion", u"2.0", kIniNothingLost},
        LossCase{"default_section", u"__default", u"k", u"v", kIniNothingLost},
        LossCase{"equals_in_key", u"S", u"a=b", u"1", kIniKeyLost},
        LossCase{"equals_in_value", u"S", u"k", u"b = c", kIniNothingLost},
        LossCase{"semicolon_in_value", u"S", u"k", u"x;y", kIniValueLost},
        LossCase{"hash_in_value", u"S", u"k", u"x#y", kIniValueLost},
        LossCase{"semicolon_inside_key", u"S", u"a;b", u"1", kIniNothingLost},
        LossCase{"comment_mark_starts_key", u"S", u";k", u"1", kIniKeyLost},
        LossCase{"hash_starts_key", u"S", u"#k", u"1", kIniKeyLost},
        LossCase{"bracket_starts_key", u"S", u"[k", u"1", kIniKeyLost},
        LossCase{"bracket_ends_key", u"S", u"k]", u"1", kIniNothingLost},
        LossCase{"bracket_in_section", u"a]b", u"k", u"1", kIniSectionLost},
        LossCase{"hash_in_section", u"a#b", u"k", u"1", kIniSectionLost},
        LossCase{"open_bracket_in_section", u"[x", u"k", u"1", kIniNothingLost},
        LossCase{"blank_before_key", u"S", u" k", u"1", kIniKeyLost},
        LossCase{"blank_after_value", u"S", u"k", u"v ", kIniValueLost},
        LossCase{"tab_before_value", u"S", u"k", u"\tv", kIniValueLost},
        LossCase{"no_break_space_kept", u"S", u"k", u"\u00a0v", kIniNothingLost},
        LossCase{"escape_kept", u"S", u"k",
                 u"a\x1b"
                 u"b",
                 kIniNothingLost},
        LossCase{"line_feed_in_value", u"S", u"k", u"a\nb", kIniValueLost},
        LossCase{"carriage_return_inside_key", u"S", u"a\rb", u"1", kIniNothingLost},
        LossCase{"quote_starts_value", u"S", u"k", u"\"q", kIniValueLost},
        LossCase{"quoted_value", u"S", u"k", u"'q'", kIniValueLost},
        LossCase{"quotes_inside_value", u"S", u"k", u"x\"y\"", kIniNothingLost},
        LossCase{"empty_value", u"S", u"k", u"", kIniValueLost},
        LossCase{"empty_key", u"S", u"", u"1", kIniKeyLost},
        LossCase{"empty_section", u"", u"k", u"1", kIniSectionLost},
        LossCase{"blank_section", u" ", u"k", u"1", kIniSectionLost},
        LossCase{"value_of_255_units", u"S", u"k", std::u16string(255, u'v'), kIniNothingLost},
        LossCase{"value_of_256_units", u"S", u"k", std::u16string(256, u'v'), kIniValueLost},
        LossCase{"key_filling_the_field", u"S", std::u16string(253, u'k'), u"1", kIniNothingLost},
        LossCase{"key_over_the_field", u"S", std::u16string(254, u'k'), u"1", kIniKeyLost},
        LossCase{"section_of_256_units", std::u16string(256, u's'), u"k", u"1", kIniSectionLost}),
    [](const auto& info) { return std::string(info.param.name); });

// In a whole table, keys of "__default" saved after another section come back in that section,
// and keys of the section "" do not come back at all.
TEST_F(LoadTest, FirstLossNamesTheFirstEntryThatChanges) {
    TablePtr table(IniTableCreate(0));
    IniTableSetString(table.get(), u"S", u"a", u"1");
    EXPECT_EQ(IniTableFirstLoss(table.get()), -1);
    IniTableSetString(table.get(), u"__default", u"k", u"v");
    ASSERT_EQ(IniTableFirstLoss(table.get()), 3);
    EXPECT_EQ(std::u16string(table->entries[3].key), u"__default#k");
    EXPECT_EQ(IniTableFirstLoss(nullptr), -1);
    // Keys of the section "" (a header of blanks) have no header a save could put them under.
    ASSERT_EQ(Load(Utf16Le(u"[S]\na=1\n[ ]\nk=v\n")), 1);
    EXPECT_EQ(std::u16string(IniTableGetString(table_.get(), u"", u"k", u"-")), u"v");
    EXPECT_EQ(IniTableKeyCount(table_.get(), u""), 1);
    ASSERT_EQ(IniTableFirstLoss(table_.get()), 3);
    EXPECT_EQ(std::u16string(table_->entries[3].key), u"#k");
}

TEST_F(LoadTest, MalformedBytesStayInsideBuffers) {
    // Random units, unpaired surrogates, NULs and no line ends: run under ASan.
    std::mt19937 rng(20240611);
    const char16_t alphabet[] = {u'[',  u']',  u'=',  u'"', u'\'', u';',   u'#',   u' ',
                                 u'\t', u'\r', u'\n', 0,    u'a',  0xD800, 0xDC00, 0xFFFF};
    for (int round = 0; round < 40; ++round) {
        std::u16string body;
        const std::size_t length = rng() % 5000;
        for (std::size_t i = 0; i < length; ++i) {
            body += alphabet[rng() % (sizeof alphabet / sizeof alphabet[0])];
        }
        Bytes bytes = Utf16Le(body);
        if (round % 2 == 1) {
            bytes.push_back(0x41);
        }
        ASSERT_EQ(Load(bytes), 1);
        ASSERT_LE(table_->used, table_->capacity);
        for (int32_t i = 0; i < table_->capacity; ++i) {
            const IniEntry& e = table_->entries[i];
            ASSERT_EQ(e.hash, IniHash(e.key));
            ASSERT_LE(std::u16string_view(e.value).size(), 255u);
        }
    }
}

}  // namespace
