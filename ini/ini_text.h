// The field limits of an INI table and small UTF-16 text helpers shared by the table, loader and
// writer (the helpers are internal to ini/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int32_t kIniFieldUnits = 256;  // key and value fields, terminator included
inline constexpr int32_t kIniMaxUnits = kIniFieldUnits - 1;
inline constexpr char16_t kIniDefaultSection[] = u"__default";

namespace ini_detail {

// A composed key without '#' is a section's own entry; every other one is a key of a section.
inline bool IsSectionKey(const char16_t* key) {
    for (; *key != 0; ++key) {
        if (*key == u'#') {
            return false;
        }
    }
    return true;
}

// The white space that the loader trims.
inline bool IsSpace(char16_t c) {
    return c == u' ' || (c >= 0x09 && c <= 0x0D);
}

inline std::u16string_view Trim(std::u16string_view text) {
    while (!text.empty() && IsSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// How many leading units of `text` fit in `limit` units without splitting a surrogate pair.
inline std::size_t FitUnits(std::u16string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text.size();
    }
    std::size_t n = limit;
    const bool highBefore = n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF;
    const bool lowAfter = text[n] >= 0xDC00 && text[n] <= 0xDFFF;
    if (highBefore && lowAfter) {
        --n;
    }
    return n;
}

// Copies at most kIniMaxUnits units of `text` (see FitUnits) into a field and terminates it.
inline void CopyField(char16_t (&field)[kIniFieldUnits], std::u16string_view text) {
    const std::size_t n = FitUnits(text, kIniMaxUnits);
    for (std::size_t i = 0; i < n; ++i) {
        field[i] = text[i];
    }
    field[n] = 0;
}

// The form a name takes in a field: at most kIniMaxUnits units.
inline std::u16string_view FieldForm(const char16_t* text) {
    std::u16string_view view(text);
    return view.substr(0, FitUnits(view, kIniMaxUnits));
}

// Section name for a table operation: a missing name means "__default".
inline std::u16string_view SectionForm(const char16_t* section) {
    return FieldForm(section != nullptr ? section : kIniDefaultSection);
}

// Composes "section#key" into `out`, cutting the key name to fit. False when the section and '#'
// leave no room for the key name, so cutting would turn the key into another entry.
inline bool ComposeKey(std::u16string_view section, const char16_t* key,
                       char16_t (&out)[kIniFieldUnits]) {
    const std::u16string_view name(key);
    if (section.size() + 1 + (name.empty() ? 0 : 1) > static_cast<std::size_t>(kIniMaxUnits)) {
        return false;
    }
    std::size_t n = 0;
    for (char16_t c : section) {
        out[n++] = c;
    }
    out[n++] = u'#';
    const std::size_t fit = FitUnits(name, kIniMaxUnits - n);
    if (fit == 0 && !name.empty()) {
        return false;
    }
    for (std::size_t i = 0; i < fit; ++i) {
        out[n++] = name[i];
    }
    out[n] = 0;
    return true;
}

// Widens ASCII text (number formatting goes through the narrow C library and back).
inline void WidenAscii(const char* text, char16_t* out, std::size_t capacity) {
    std::size_t i = 0;
    for (; text[i] != 0 && i + 1 < capacity; ++i) {
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
    }
    out[i] = 0;
}

}  // namespace ini_detail
