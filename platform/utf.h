// UTF-8 <-> UTF-16 helpers for text that crosses a program boundary (command lines, JSON,
// terminal output). They do not depend on the system's code page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Number of code units before the terminating NUL.
std::size_t U16Length(const char16_t* text);

// Invalid input (bad UTF-8, unpaired surrogates) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace platform
