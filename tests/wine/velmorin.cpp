// Test stand-in for the device vendor's system library. Its restart export records the argument
// it was called with in C:\restart.txt (as decimal text) and ends the calling process at once,
// as the device's restart would; the Wine suite reads the marker to see that a restart was asked.
#include <windows.h>

#include <cstdint>
#include <cstdio>

extern "C" __declspec(dllexport) uint32_t KVRebootMachine(uint32_t mode) {
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(mode));
    HANDLE file = ::CreateFileW(L"C:\\restart.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
        ::FlushFileBuffers(file);
        ::CloseHandle(file);
    }
    ::TerminateProcess(::GetCurrentProcess(), 0);
    return 1;
}
