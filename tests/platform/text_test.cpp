// The one escaping of outside text for logs and terminals, and the control characters it shows.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

namespace platform::testing {
namespace {

using namespace std::string_literals;

struct EscapeCase {
    const char* name;
    std::string text;
    std::string printable;
    std::size_t limit = std::string::npos;
    bool control = false;  // HasControlCharacter(text)
};

class Escaping : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(Escaping, ShowsControlsAndInvalidBytesAndCutsBetweenPieces) {
    const EscapeCase& c = GetParam();
    const std::string printable = Printable(c.text, c.limit);
    EXPECT_EQ(printable, c.printable);
    EXPECT_EQ(HasControlCharacter(c.text), c.control);
    EXPECT_TRUE(IsUtf8(printable));
    EXPECT_FALSE(HasControlCharacter(printable));
    EXPECT_TRUE(IsUtf8(ValidUtf8(c.text)));
    if (IsUtf8(c.text)) {
        EXPECT_EQ(ValidUtf8(c.text), c.text) << "control characters are the JSON writer's";
    }
}

// A JSON writer leaves these raw inside strings: the JSON text carries them as escapes.
TEST(JsonTextTest, EscapesWhatTheWriterLeavesRaw) {
    EXPECT_EQ(JsonText("{\"v\": \"1\xe2\x80\xa8"
                       "2\xe2\x80\xa9\xc2\x85\x7f\xc3\xa4\\n\xff\"}"),
              "{\"v\": \"1\\u20282\\u2029\\u0085\\u007f\xc3\xa4\\n\xff\"}");
}

INSTANTIATE_TEST_SUITE_P(
    Text, Escaping,
    ::testing::Values(
        EscapeCase{"PlainAndBackslashUnchanged", "VORIZ\\INDEX.INI 2.0", "VORIZ\\INDEX.INI 2.0"},
        EscapeCase{"LettersBeyondAsciiUnchanged",
                   "Ordner \xc3\xa4 \xe6\x97\xa5 \xc2\xa0 \xf0\x9f\x98\x80",
                   "Ordner \xc3\xa4 \xe6\x97\xa5 \xc2\xa0 \xf0\x9f\x98\x80"},
        EscapeCase{"ForgedLogLine", "VORIZ\n\r\n1999-01-01 00:00:00 restart: requested",
                   "VORIZ\\n\\r\\n1999-01-01 00:00:00 restart: requested", std::string::npos, true},
        EscapeCase{"Tab", "a\tb", "a\\tb", std::string::npos, true},
        EscapeCase{"C0", "\0\a\v\f\x1b[31m"s, "\\x00\\x07\\x0b\\x0c\\x1b[31m", std::string::npos,
                   true},
        EscapeCase{"Del", "\x7f", "\\x7f", std::string::npos, true},
        EscapeCase{"NelAndC1",
                   "a\xc2\x85"
                   "b\xc2\x9b"
                   "c",
                   "a\\xc2\\x85b\\xc2\\x9bc", std::string::npos, true},
        EscapeCase{"LineAndParagraphSeparators",
                   "a\xe2\x80\xa8"
                   "b\xe2\x80\xa9"
                   "c",
                   "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9c", std::string::npos, true},
        EscapeCase{"LoneAndStrayBytes", "latin\xe9 \xff \x85", "latin\\xe9 \\xff \\x85"},
        EscapeCase{"CutSequence", "ab\xe6\x97", "ab\\xe6\\x97"},
        EscapeCase{"OverlongAndSurrogate", "\xc0\x80\xc0\xaf\xed\xa0\x80",
                   "\\xc0\\x80\\xc0\\xaf\\xed\\xa0\\x80"},
        EscapeCase{"CutAtTheLimit", "abcdef", "abcde", 5},
        EscapeCase{"CutBeforeACharacter", "ab\xe6\x97\xa5", "ab", 4},
        EscapeCase{"CharacterFillsTheLimit", "ab\xe6\x97\xa5z", "ab\xe6\x97\xa5", 5},
        EscapeCase{"CutBeforeAnEscape", "ab\x1b", "ab", 5, true},
        EscapeCase{"EscapeFillsTheLimit", "ab\x1bz", "ab\\x1b", 6, true},
        EscapeCase{"CutBeforeALineFeed", "a\nb", "a", 2, true},
        EscapeCase{"CutBeforeAnInvalidByte", "a\xff", "a", 4},
        EscapeCase{"NothingFits", "abc", "", 0}),
    [](const ::testing::TestParamInfo<EscapeCase>& info) { return info.param.name; });

}  // namespace
}  // namespace platform::testing
