// UTF-16 text of the platform interfaces (char16_t) handed to the wide Win32 calls (wchar_t).
// Both are 16-bit UTF-16 code units on Windows, so a pointer to one is a pointer to the other.
#pragma once

#include <cwchar>
#include <string>

static_assert(sizeof(wchar_t) == sizeof(char16_t) && alignof(wchar_t) == alignof(char16_t),
              "the Win32 layer needs wchar_t to be a UTF-16 code unit");

namespace platform::win32 {

inline const wchar_t* Wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
inline wchar_t* Wide(char16_t* text) {
    return reinterpret_cast<wchar_t*>(text);
}
inline const char16_t* Utf16(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);
}

// The path a device path names on this machine: unchanged, except below a device image bound to
// the thread (a tool's view of an image folder), where the folder stands for the device's `\`.
std::wstring Real(const char16_t* path);

}  // namespace platform::win32
