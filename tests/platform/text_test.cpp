// The one escaping of outside text for logs and terminals, and the control characters it shows.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

namespace platform::testing {
namespace {

// Printable escapes controls and invalid bytes and cuts only between pieces; what it gives is
// valid UTF-8 without controls, and ValidUtf8 leaves valid text as it is. Rows: text kept,
// controls (C0, DEL, NEL and C1, U+2028 and U+2029), invalid bytes, then cuts at a limit.
TEST(TextTest, EscapesOutsideTextForLogsTerminalsAndJson) {
    constexpr std::size_t kAll = std::string::npos;
    const struct {
        std::string text;
        std::string printable;
        std::size_t limit;
        bool control;  // HasControlCharacter(text)
    } cases[] = {
        {"VORIZ\\INDEX.INI 2.0", "VORIZ\\INDEX.INI 2.0", kAll, false},
        {"Ordner \xc3\xa4 \xe6\x97\xa5 \xc2\xa0 \xf0\x9f\x98\x80",
         "Ordner \xc3\xa4 \xe6\x97\xa5 \xc2\xa0 \xf0\x9f\x98\x80", kAll, false},
        {"VORIZ\n\r\n1999-01-01 00:00:00 restart: requested",  // a forged log line
         "VORIZ\\n\\r\\n1999-01-01 00:00:00 restart: requested", kAll, true},
        {"a\tb", "a\\tb", kAll, true},
        {std::string("\0\a\v\f\x1b[31m", 9), "\\x00\\x07\\x0b\\x0c\\x1b[31m", kAll, true},
        {"\x7f", "\\x7f", kAll, true},
        {"a\xc2\x85_\xc2\x9b_", "a\\xc2\\x85_\\xc2\\x9b_", kAll, true},  // NEL, C1
        {"a\xe2\x80\xa8_\xe2\x80\xa9_", "a\\xe2\\x80\\xa8_\\xe2\\x80\\xa9_", kAll, true},
        {"latin\xe9 \xff \x85", "latin\\xe9 \\xff \\x85", kAll, false},
        {"ab\xe6\x97", "ab\\xe6\\x97", kAll, false},  // cut sequence
        {"\xc0\x80\xc0\xaf\xed\xa0\x80", "\\xc0\\x80\\xc0\\xaf\\xed\\xa0\\x80", kAll, false},
        {"abcdef", "abcde", 5, false},
        {"ab\xe6\x97\xa5", "ab", 4, false},
        {"ab\xe6\x97\xa5z", "ab\xe6\x97\xa5", 5, false},
        {"ab\x1b", "ab", 5, true},
        {"ab\x1bz", "ab\\x1b", 6, true},
        {"abc", "", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.printable + " limit " + std::to_string(c.limit));
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
    EXPECT_EQ(JsonText("{\"v\": \"1\xe2\x80\xa8_\xe2\x80\xa9\xc2\x85\x7f\xc3\xa4\\n\xff\"}"),
              "{\"v\": \"1\\u2028_\\u2029\\u0085\\u007f\xc3\xa4\\n\xff\"}");
}

}  // namespace
}  // namespace platform::testing
