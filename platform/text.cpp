#include "platform/text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void AppendHex(std::string& out, unsigned char byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    out += escaped;
}

// `text` with bytes that are not UTF-8 as `\xNN` and, when `controls`, control characters
// escaped too; stops before the first piece that would take it past `limit` bytes.
std::string Escape(std::string_view text, bool controls, std::size_t limit) {
    std::string out;
    out.reserve(std::min(text.size(), limit));
    std::string piece;
    for (std::size_t i = 0; i < text.size();) {
        char32_t codePoint = 0;
        const std::size_t length = Utf8Sequence(text, i, codePoint);
        piece.clear();
        if (length == 0) {
            AppendHex(piece, static_cast<unsigned char>(text[i]));
        } else if (controls && IsControlCharacter(codePoint)) {
            if (codePoint == U'\n') {
                piece = "\\n";
            } else if (codePoint == U'\r') {
                piece = "\\r";
            } else if (codePoint == U'\t') {
                piece = "\\t";
            } else {
                for (std::size_t k = 0; k < length; ++k) {
                    AppendHex(piece, static_cast<unsigned char>(text[i + k]));
                }
            }
        } else {
            piece = text.substr(i, length);
        }
        if (piece.size() > limit - out.size()) {
            break;
        }
        out += piece;
        i += length == 0 ? 1 : length;
    }
    return out;
}

}  // namespace

std::size_t U16Length(const char16_t* text) {
    std::size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

void CopyBounded(char16_t* buffer, std::size_t capacity, const char16_t* source) {
    if (capacity == 0) {
        return;
    }
    std::size_t i = 0;
    for (; i + 1 < capacity && source[i] != 0; ++i) {
        buffer[i] = source[i];
    }
    buffer[i] = 0;
}

std::size_t Utf8Sequence(std::string_view text, std::size_t i, char32_t& codePoint) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t codePoint = 0;
        const std::size_t length = Utf8Sequence(text, i, codePoint);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t cp = 0;
        const std::size_t length = Utf8Sequence(text, i, cp);
        if (length == 0) {
            cp = kReplacement;
        }
        i += length == 0 ? 1 : length;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

bool HasControlCharacter(std::string_view utf8) {
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t codePoint = 0;
        const std::size_t length = Utf8Sequence(utf8, i, codePoint);
        if (length != 0 && IsControlCharacter(codePoint)) {
            return true;
        }
        i += length == 0 ? 1 : length;
    }
    return false;
}

std::string Printable(std::string_view utf8, std::size_t limit) {
    return Escape(utf8, true, limit);
}

std::string ValidUtf8(std::string_view utf8) {
    return Escape(utf8, false, std::string_view::npos);
}

std::string JsonText(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    for (std::size_t i = 0; i < json.size();) {
        char32_t codePoint = 0;
        const std::size_t sequence = Utf8Sequence(json, i, codePoint);
        const std::size_t length = sequence == 0 ? 1 : sequence;
        if (sequence != 0 && codePoint >= 0x20 && IsControlCharacter(codePoint)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(codePoint));
            out += escaped;
        } else {
            out.append(json, i, length);
        }
        i += length;
    }
    return out;
}

}  // namespace platform
