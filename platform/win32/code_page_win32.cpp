// Which code pages the Win32 build converts with. Apart from file_win32.cpp so that a program
// which never asks (the installer, which converts with the system's own) does not import
// IsValidCodePage.
#include <windows.h>

#include "platform/file.h"

namespace platform {

bool CodePageAvailable(uint32_t codePage) {
    return codePage != kSystemCodePage && ::IsValidCodePage(codePage) != 0;
}

}  // namespace platform
