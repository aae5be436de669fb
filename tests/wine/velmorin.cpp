// Test stand-in for the device vendor's system library. Its restart export records the argument
// it was called with in C:\restart.txt (as decimal text) and ends the calling process at once,
// as the device's restart would; the Wine suite reads the marker to see that a restart was asked.
#include <windows.h>

#include <cstdint>
#include <cstdio>

extern "C" __declspec(dllexport) uint32_t KVRebootMachine(uint32_t mode) {
    if (std::FILE* marker = std::fopen("C:\\restart.txt", "w")) {
        std::fprintf(marker, "%lu", static_cast<unsigned long>(mode));
        std::fclose(marker);
    }
    ::TerminateProcess(::GetCurrentProcess(), 0);
    return 1;
}
