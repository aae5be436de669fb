// The package library's text conversion: stored names and the comment are narrow text in the
// system's default code page, and the library works on them in wide text.
#pragma once

#include <cstdint>

// Converts `source` with its terminator into at most `capacity` wide units (the platform's
// MultiByteToWide): the units written, or 0 when the destination is too small.
int32_t NarrowToWide(const char* source, char16_t* destination, int32_t capacity);
