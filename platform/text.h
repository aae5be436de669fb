// Text helpers shared by every layer: ASCII letter-case folding (how the device compares names
// and settings), lengths of NUL-terminated UTF-16 text, UTF-8 <-> UTF-16 conversion for text
// that crosses a program boundary (command lines, JSON, host file names, terminal output), and
// the one escaping of outside text for logs and terminals. None depends on the system's code page
// or locale.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// `c` with the ASCII capitals A-Z made small; every other unit unchanged.
template <class Char>
constexpr Char FoldAscii(Char c) {
    return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

// `text` with every ASCII capital made small.
template <class Char>
std::basic_string<Char> FoldedAsciiOf(std::basic_string_view<Char> text) {
    std::basic_string<Char> folded(text);
    for (Char& c : folded) {
        c = FoldAscii(c);
    }
    return folded;
}
inline std::string FoldedAscii(std::string_view text) {
    return FoldedAsciiOf(text);
}
inline std::u16string FoldedAscii(std::u16string_view text) {
    return FoldedAsciiOf(text);
}

// True when `a` and `b` are equal without regard to ASCII letter case. The two may be of
// different unit types (a narrow ASCII name against a UTF-16 one): units are compared by value.
template <class A, class B>
constexpr bool EqualsIgnoringAsciiCase(std::basic_string_view<A> a, std::basic_string_view<B> b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (static_cast<char32_t>(FoldAscii(a[i])) != static_cast<char32_t>(FoldAscii(b[i]))) {
            return false;
        }
    }
    return true;
}
constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return EqualsIgnoringAsciiCase<char, char>(a, b);
}
constexpr bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
    return EqualsIgnoringAsciiCase<char16_t, char16_t>(a, b);
}

// Number of code units before the terminating NUL.
std::size_t U16Length(const char16_t* text);

// Copies `source` with its NUL into `buffer` of `capacity` units, cutting it to fit. The buffer
// always ends up NUL-terminated.
void CopyBounded(char16_t* buffer, std::size_t capacity, const char16_t* source);

// Length (1 to 4) of the valid UTF-8 sequence at text[i], or 0 when the byte there does not begin
// one (overlong forms, surrogates, values above U+10FFFF and cut sequences are invalid);
// `codePoint` receives its value.
std::size_t Utf8Sequence(std::string_view text, std::size_t i, char32_t& codePoint);

// True when the whole of `text` is valid UTF-8.
bool IsUtf8(std::string_view text);

// Invalid input (bad UTF-8, unpaired surrogates) becomes U+FFFD, one per bad byte or unit.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// The control characters, those that steer a terminal or break a line: C0 (below U+0020), DEL,
// C1 (U+0080 to U+009F, NEL among them) and Unicode's line and paragraph separators (U+2028 and
// U+2029, all of its classes Zl and Zp), which editors, log viewers and splitlines break at.
constexpr bool IsControlCharacter(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// True when `utf8` holds a control character; bytes that are not UTF-8 are none.
bool HasControlCharacter(std::string_view utf8);

// How text from outside (names, versions, comments, reasons, messages) is logged or printed:
// control characters as `\n`, `\r`, `\t` or `\xNN` per byte, bytes that are not UTF-8 as `\xNN`,
// everything else (backslashes too) unchanged. The result is valid UTF-8 and can neither break a
// line nor reach a terminal as a control sequence. It holds at most `limit` bytes, cut before the
// first character or escape that would not fit, never inside one.
std::string Printable(std::string_view utf8, std::size_t limit = std::string_view::npos);

// `utf8` with the bytes that are not UTF-8 as `\xNN` and control characters kept: valid UTF-8
// for a JSON writer, which escapes C0 itself; JsonText escapes the rest.
std::string ValidUtf8(std::string_view utf8);

// A JSON writer's text (nlohmann-json's dump) with the control characters it leaves raw (DEL, C1,
// U+2028, U+2029) as `\uXXXX`: the same JSON, which no reader breaks a line in. Such characters
// occur only inside strings, where the escape stands for them.
std::string JsonText(std::string_view json);

}  // namespace platform
