// Small helpers for the installer's fixed-size UTF-16 buffers.
#pragma once

#include <cstddef>

namespace app {

// Length of `text` up to its NUL, reading at most `capacity` units.
inline std::size_t BoundedLength(const char16_t* text, std::size_t capacity) {
    std::size_t n = 0;
    while (n < capacity && text[n] != 0) {
        ++n;
    }
    return n;
}

// Compares two NUL-terminated texts without regard to ASCII letter case, reading at most
// `capacity` units of either (a text that fills the whole capacity counts as ending there).
inline bool EqualsIgnoringCase(const char16_t* a, const char16_t* b, std::size_t capacity) {
    auto lower = [](char16_t c) -> char16_t {
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
    };
    for (std::size_t i = 0; i < capacity; ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
        if (a[i] == 0) {
            return true;
        }
    }
    return true;
}

// Copies `source` with its NUL into `buffer` of `capacity` units, cutting it to fit. The buffer
// always ends up NUL-terminated.
inline void CopyBounded(char16_t* buffer, std::size_t capacity, const char16_t* source) {
    if (capacity == 0) {
        return;
    }
    std::size_t i = 0;
    for (; i + 1 < capacity && source[i] != 0; ++i) {
        buffer[i] = source[i];
    }
    buffer[i] = 0;
}

}  // namespace app
