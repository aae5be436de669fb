// Host paths given on qzp's command line, turned into the device paths that the libraries take.
#pragma once

#include <string>

// Makes the whole host file system the device image (root "/") and converts `hostPath` (UTF-8,
// relative or absolute) into the matching device path. Returns false, with a reason in `error`,
// when the path cannot be expressed (for example a name holding a backslash).
bool ToDevicePath(const std::string& hostPath, std::u16string& devicePath, std::string& error);
