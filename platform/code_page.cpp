// The one rule for a name stored in a code page, over either build's converter.
#include <algorithm>

#include "platform/file.h"

namespace platform {
namespace {

bool IsSeparatorByte(char c) {
    return c == '\\' || c == '/';
}

std::size_t Separators(std::string_view narrow) {
    return static_cast<std::size_t>(std::count_if(narrow.begin(), narrow.end(), IsSeparatorByte));
}

std::size_t Separators(std::u16string_view text) {
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char16_t c) { return c == u'\\' || c == u'/'; }));
}

// `character` (one code point) in the code page and back, unchanged, and a separator byte only
// from a separator.
bool HoldsExactly(std::u16string_view character, std::string& narrow) {
    std::u16string back;
    return EncodeStrictly(character, narrow) && FromCodePage(narrow, back) && back == character &&
           !(narrow.size() == 1 && IsSeparatorByte(narrow[0]) && character[0] != narrow[0]);
}

}  // namespace

bool ToCodePage(std::u16string_view text, std::string& narrow, std::u16string* refused) {
    // The whole name at once suffices when it comes back unchanged with as many separator bytes
    // as separators; otherwise each character decides (a second byte of a character may be `\`).
    std::u16string back;
    if (EncodeStrictly(text, narrow) && FromCodePage(narrow, back) && back == text &&
        Separators(narrow) == Separators(text)) {
        return true;
    }
    narrow.clear();
    std::string piece;
    for (std::size_t i = 0; i < text.size();) {
        const bool pair = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
                          text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        const std::u16string_view character = text.substr(i, pair ? 2 : 1);
        if (!HoldsExactly(character, piece)) {
            if (refused != nullptr) {
                *refused = character;
            }
            narrow.clear();
            return false;
        }
        narrow += piece;
        i += character.size();
    }
    return true;
}

}  // namespace platform
