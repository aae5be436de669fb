// The loader: the line forms, their order, trimming, quotes, comments and malformed files.
#include <gtest/gtest.h>

#include <string>

#include "ini/ini_load.h"
#include "ini/ini_round_trip.h"
#include "ini/ini_table.h"
#include "ini/ini_write.h"
#include "ini_test_util.h"

namespace {

using ini_test::Bytes;
using ini_test::Dump;
using ini_test::TablePtr;
using ini_test::Utf16Le;

class LoadTest : public ini_test::DeviceRootTest {
  protected:
    // Loads `bytes` from memory; returns the load's result and leaves the table in table_.
    int32_t Load(const Bytes& bytes) {
        table_.reset(IniTableCreate(0));
        return IniTableLoadBytes(bytes, table_.get());
    }
    TablePtr table_;
};

// One line form per row: the file body (after the mark) and the table it gives in slot order, after
// the default section's entry every load makes first.
TEST_F(LoadTest, LineFormsGiveTheirTable) {
    const struct {
        const char* name;
        std::u16string body;
        std::string dump;
        bool saved = false;  // the table given by a save of the loaded table
    } rows[] = {
        {"mark_only", u"", ""},
        {"keys_before_header", u"a=1\n[S]\nb=2\n", "|__default#a=1|S=|S#b=2"},
        {"default_reopened", u"a=1\n[S]\n[__default]\nb=2\n", "|__default#a=1|S=|__default#b=2"},
        {"trimmed", u"  \t\v\fkey \v\f=\f\v some value \t\v\f\n", "|__default#key=some value"},
        {"inline_comments", u"a = 1 ; note\nb = 2# note\n", "|__default#a=1|__default#b=2"},
        {"empty_values_dropped", u"a=\nb = ;c\nc =   # c\n", ""},
        {"empty_quotes_kept", u"a = \"\"\nb = ''\nc = \"\" ; x\n",
         "|__default#a=|__default#b=|__default#c="},
        {"quoted_marks", u"a = \"x;y#z\"\nb = 'p#q;r'\n", "|__default#a=x;y#z|__default#b=p#q;r"},
        {"quoted_value_trimmed", u"a = \"  padded  \"\n", "|__default#a=padded"},
        {"quote_missing_close", u"a = \"open;ended\n", "|__default#a=open;ended"},
        {"text_after_closing_quote", u"a = \"in\" out\n", "|__default#a=in"},
        {"quote_inside_plain_value", u"a = x\"y\"\n", "|__default#a=x\"y\""},
        {"lone_quote", u"a = \"\n", "|__default#a=\""},
        {"mixed_quotes", u"a = 'it\"s'\n", "|__default#a=it\"s"},
        {"equals_in_value", u"a = b = c\n", "|__default#a=b = c"},
        {"comment_lines", u"; c\n# c\n   ;c = 1\n\t# d = 2\n", ""},
        {"equals_first_ignored", u"=v\n  = w\n", ""},
        {"no_equals_ignored", u"just words\n", ""},
        {"header_spaces", u"[\v Config \f]\n", "|Config="},
        {"header_without_bracket", u"[Config\nk=v\n", "|Config=|Config#k=v"},
        {"header_with_trailing_text", u"[Config] junk = 1\n", "|Config="},
        {"empty_header_ignored", u"[S]\n[]\nk=v\n", "|S=|S#k=v"},
        // A header of white space alone opens the section "", which has no section entry.
        {"blank_header_opens_empty_section",
         u"[Config]\nSoftwareVersion=1.0\n[ \t ]\nSoftwareVersion=2.0\n[S]\n[ ]\na=1\n",
         "|Config=|Config#SoftwareVersion=1.0|#SoftwareVersion=2.0|S=|#a=1"},
        {"blank_header_without_bracket", u"[S]\n[ \nk=v\n", "|S=|S#k=v"},
        {"bracket_only_key_line", u"[]=v\n", "|__default#[]=v"},
        {"case_kept", u"[config]\na=1\n[Config]\na=2\n", "|config=|config#a=1|Config=|Config#a=2"},
        {"repeated_key_first_slot_last_value", u"[S]\na=1\nb=2\na=3\n", "|S=|S#a=3|S#b=2"},
        {"repeated_header_continues", u"[S]\na=1\n[T]\n[S]\nb=2\n", "|S=|S#a=1|T=|S#b=2"},
        {"crlf_and_lf_alike", u"[S]\r\na=1\r\nb=2\nc=3\r\r\n", "|S=|S#a=1|S#b=2|S#c=3"},
        {"no_final_line_end", u"[S]\na=last", "|S=|S#a=last"},
        {"cr_only_is_one_line", u"a=1\rb=2\n", "|__default#a=1\rb=2"},
        {"nul_ends_line", std::u16string(u"a=1\0b=2\nc=3\n", 12), "|__default#a=1|__default#c=3"},
        {"non_ascii", u"[\u7248\u672c]\n\u540d=\u503c \U0001F600\n",
         "|\u7248\u672c=|\u7248\u672c#\u540d=\u503c \U0001F600"},
        {"no_break_space_kept", u"a=\u00a0x\u00a0\n", "|__default#a=\u00a0x\u00a0"},
        // Lines are read in pieces of 1023 units; values keep 255 of them.
        {"long_lines_read_in_pieces",
         u"a=" + std::u16string(1021, u'v') + u"b=2\nx=" + std::u16string(1021, u'w') + u"c=3",
         "|__default#a=" + std::string(255, 'v') + "|__default#b=2|" +
             "__default#x=" + std::string(255, 'w') + "|__default#c=3"},
        // Exactly 1023 units before the LF: the LF is read as a line of its own and skipped.
        {"line_of_1023_units_ends_at_its_lf", u"a=" + std::u16string(1021, u'v') + u"\nb=2\n",
         "|__default#a=" + std::string(255, 'v') + "|__default#b=2"},
        // A long header is cut to 255 units; no room is left for "#k", so its key is refused
        // rather than stored as the section or mixed up with the next one.
        {"long_header_cut_and_its_keys_refused",
         u"[" + std::u16string(300, u'n') + u"]\nk=v\n[S]\nk=w\n",
         "|" + std::string(255, 'n') + "=|S=|S#k=w"},
        // A save never lets one entry's line move or overwrite others. A section named with '#' is
        // stored as a key of the section before it ("A#[" is the key "[" of "A"); a line that
        // would read back as a header or as another key is left out, so only its own entry is lost.
        {"key_read_as_header", u"[A#[\n[A\n\"=\u0a20", "|A=|A#\"=\u0a20", true},
        {"key_read_as_another_key", u"[A]\nx=1\n[A#x=y]\n", "|A=|A#x=1", true},
        {"keys_of_hash_section_kept", u"[A]\na=1\n[A#b]\nc=2\n", "|A=|A#a=1|A#b#c=2", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes bytes = Utf16Le(row.body);
        ASSERT_EQ(Load(bytes), 1);
        if (row.saved) {
            bytes = IniTableBytes(table_.get(), u"x");
            ASSERT_EQ(Load(bytes), 1);
        }
        EXPECT_EQ(Dump(table_.get()), "__default=" + row.dump);
        bytes.push_back('3');  // an odd trailing byte is ignored
        ASSERT_EQ(Load(bytes), 1);
        EXPECT_EQ(Dump(table_.get()), "__default=" + row.dump);
    }
}

// The loader refuses files that are not UTF-16 with the mark FF FE: the load returns 0 and adds
// nothing. The path front door reads the file and loads its bytes, up to kIniMaxFileBytes; a larger
// file, even by a byte the loader would otherwise ignore, and a missing file add nothing. A
// settings file the device must read is read up to kIniMaxWantedFileBytes, keeping the wanted key
// alone, its last value.
TEST_F(LoadTest, FilesLoadWholeOrNotAtAll) {
    const auto sized = [](std::size_t size, std::size_t extra) {  // ends with the wanted key
        Bytes bytes = Utf16Le(u"[S]\n;");
        const Bytes tail = Utf16Le(u"\nb=2\na=1", false);
        bytes.resize(size - tail.size(), 'x');  // the comment line fills the file
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        bytes.resize(size + extra, 'x');
        return bytes;
    };
    const struct {
        const char* what;
        Bytes bytes;
        int32_t fromBytes, fromFile, fromWanted;
    } rows[] = {
        {"empty", {}, 0, 0, 0},
        {"one byte", {0xFF}, 0, 0, 0},
        {"big-endian mark", {0xFE, 0xFF, 0x00, 0x61}, 0, 0, 0},
        {"eight-bit text", {'[', 'C', ']', '\n', 'a', '=', '1', '\n'}, 0, 0, 0},
        {"UTF-8 mark", {0xEF, 0xBB, 0xBF, 'a', '=', '1'}, 0, 0, 0},
        {"no mark", Utf16Le(u"a=1\n", false), 0, 0, 0},
        {"small, a repeated", Utf16Le(u"[S]\na=0\nb=2\na=1\n"), 1, 1, 1},
        {"at the limit", sized(kIniMaxFileBytes, 0), 1, 1, 1},
        {"one byte beyond", sized(kIniMaxFileBytes, 1), 1, 0, 1},
        {"at the wanted limit", sized(kIniMaxWantedFileBytes, 0), 1, 0, 1},
        {"one byte beyond it", sized(kIniMaxWantedFileBytes, 1), 1, 0, 0},
    };
    TablePtr wanted(IniTableCreate(0));
    IniTableSetString(wanted.get(), u"S", u"a", u"");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        WriteFile(u"\\t.ini", row.bytes);
        TablePtr fromFile(IniTableCreate(0)), fromWanted(IniTableCreate(0));
        EXPECT_EQ(IniTableLoad(u"\\t.ini", fromFile.get()), row.fromFile);
        EXPECT_EQ(IniTableLoadWanted(u"\\t.ini", wanted.get(), fromWanted.get()), row.fromWanted);
        EXPECT_EQ(Dump(fromWanted.get()), row.fromWanted == 1 ? "S=|S#a=1" : "");
        EXPECT_EQ(Load(row.bytes), row.fromBytes);
        EXPECT_EQ(Dump(table_.get()).empty(), row.fromBytes == 0);
        EXPECT_EQ(Dump(fromFile.get()), row.fromFile == 1 ? Dump(table_.get()) : "");
    }
    EXPECT_EQ(IniTableLoad(u"\\absent.ini", table_.get()), 0);
}

// Whether an entry survives a save and a reload, against the loader's line rules above: the
// writer puts "key = value" and "[section]" without quotes, so each row names the rule that keeps
// or loses it.
TEST(IniEntryLoss, AgreesWithTheLoader) {
    const struct {
        const char* name;
        std::u16string section, key, value;
        int32_t lost;
    } rows[] = {
        {"plain", u"Config", u"SoftwareVersion", u"2.0", kIniNothingLost},
        {"default_section", u"__default", u"k", u"v", kIniNothingLost},
        {"equals_in_key", u"S", u"a=b", u"1", kIniKeyLost},
        {"equals_in_value", u"S", u"k", u"b = c", kIniNothingLost},
        {"semicolon_in_value", u"S", u"k", u"x;y", kIniValueLost},
        {"hash_in_value", u"S", u"k", u"x#y", kIniValueLost},
        {"semicolon_inside_key", u"S", u"a;b", u"1", kIniNothingLost},
        {"comment_mark_starts_key", u"S", u";k", u"1", kIniKeyLost},
        {"hash_starts_key", u"S", u"#k", u"1", kIniKeyLost},
        {"bracket_starts_key", u"S", u"[k", u"1", kIniKeyLost},
        {"bracket_ends_key", u"S", u"k]", u"1", kIniNothingLost},
        {"bracket_in_section", u"a]b", u"k", u"1", kIniSectionLost},
        {"hash_in_section", u"a#b", u"k", u"1", kIniSectionLost},
        {"open_bracket_in_section", u"[x", u"k", u"1", kIniNothingLost},
        {"blank_before_key", u"S", u" k", u"1", kIniKeyLost},
        {"blank_after_value", u"S", u"k", u"v ", kIniValueLost},
        {"tab_before_value", u"S", u"k", u"\tv", kIniValueLost},
        {"no_break_space_kept", u"S", u"k", u"\u00a0v", kIniNothingLost},
        {"escape_kept", u"S", u"k", u"a\u001bb", kIniNothingLost},
        {"line_feed_in_value", u"S", u"k", u"a\nb", kIniValueLost},
        {"carriage_return_inside_key", u"S", u"a\rb", u"1", kIniNothingLost},
        {"quote_starts_value", u"S", u"k", u"\"q", kIniValueLost},
        {"quoted_value", u"S", u"k", u"'q'", kIniValueLost},
        {"quotes_inside_value", u"S", u"k", u"x\"y\"", kIniNothingLost},
        {"empty_value", u"S", u"k", u"", kIniValueLost},
        {"empty_key", u"S", u"", u"1", kIniKeyLost},
        {"empty_section", u"", u"k", u"1", kIniSectionLost},
        {"blank_section", u" ", u"k", u"1", kIniSectionLost},
        {"value_of_255_units", u"S", u"k", std::u16string(255, u'v'), kIniNothingLost},
        {"value_of_256_units", u"S", u"k", std::u16string(256, u'v'), kIniValueLost},
        {"key_filling_the_field", u"S", std::u16string(253, u'k'), u"1", kIniNothingLost},
        {"key_over_the_field", u"S", std::u16string(254, u'k'), u"1", kIniKeyLost},
        {"section_of_256_units", std::u16string(256, u's'), u"k", u"1", kIniSectionLost},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(IniEntryLoss(row.section.c_str(), row.key.c_str(), row.value.c_str()), row.lost)
            << row.name;
    }
}

// In a whole table, keys of "__default" saved after another section come back in that section,
// and keys of the section "" do not come back at all.
TEST_F(LoadTest, FirstLossNamesTheFirstEntryThatChanges) {
    TablePtr table(IniTableCreate(0));
    IniTableSetString(table.get(), u"S", u"a", u"1");
    EXPECT_EQ(IniTableFirstLoss(table.get()), -1);
    IniTableSetString(table.get(), u"__default", u"k", u"v");
    EXPECT_EQ(IniTableFirstLoss(table.get()), 3);  // __default#k
    EXPECT_EQ(IniTableFirstLoss(nullptr), -1);
    // Keys of the section "" (a header of blanks) have no header a save could put them under.
    ASSERT_EQ(Load(Utf16Le(u"[S]\na=1\n[ ]\nk=v\n")), 1);
    EXPECT_EQ(std::u16string(IniTableGetString(table_.get(), u"", u"k", u"-")), u"v");
    EXPECT_EQ(IniTableKeyCount(table_.get(), u""), 1);
    EXPECT_EQ(IniTableFirstLoss(table_.get()), 3);  // #k
}

}  // namespace
