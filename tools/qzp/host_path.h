// Host paths given on qzp's command line, turned into the device paths that the libraries take.
#pragma once

#include <string>

// Converts `hostPath` (UTF-8, relative or absolute) into the device path that names it in the
// bound file system (qzp's own: exact host paths with the root "/", bound by main). Returns false,
// with a reason in `error`, when the path cannot be expressed (a name with a backslash, a control
// character).
bool ToDevicePath(const std::string& hostPath, std::u16string& devicePath, std::string& error);

// The reason the last failed file operation failed ("Permission denied"), for error messages;
// "unknown reason" when none was recorded.
std::string OsReason();

// True when `text` holds a control character (below U+0020, or DEL).
bool HasControlCharacter(const std::string& text);

// `text` with control characters (C0, DEL and C1) escaped as `\n`, `\r`, `\t` or `\xNN` per
// byte, and bytes that are not UTF-8 as `\xNN`, so that a name can neither forge output lines
// nor reach a terminal as a control sequence.
std::string Printable(const std::string& text);

// `text` with the bytes that are not UTF-8 written as `\xNN`: always valid UTF-8 (for JSON).
std::string ValidUtf8(const std::string& text);
