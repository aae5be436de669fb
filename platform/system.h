// Kernel, shell and library services of the platform layer, with the Win32 contract: handles,
// last-error codes and results have their Win32 meaning on both implementations.
#pragma once

#include <cstdint>

#include "platform/ui.h"

namespace platform {

using Handle = void*;
using LibraryHandle = void*;

inline constexpr uint32_t kErrorAlreadyExists = 183;  // ERROR_ALREADY_EXISTS
inline constexpr uint32_t kErrorNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY

// Named mutex, no security attributes, not initially owned. Null on failure. When the object
// existed already, a handle is still returned and LastError() is kErrorAlreadyExists.
Handle CreateNamedMutex(const char16_t* name);
uint32_t LastError();
bool CloseHandle(Handle handle);

// Starts a thread (default security and stack size, not suspended). Null on failure;
// LastError() is then kErrorNotEnoughMemory when memory (for its stack) ran out.
using ThreadProc = uint32_t (*)(void* parameter);
Handle CreateThread(ThreadProc proc, void* parameter);
// The number of processors threads may run on, at least 1.
uint32_t ProcessorCount();
// Has the heap map every large block on its own and give it back when it is freed, as the
// system's heap does on Windows: a program's peak is then what it holds at once. (glibc raises
// its threshold after the first large free and keeps later large blocks, freed, in its heap.)
// A program's entry calls it first.
void ReturnLargeBlocksWhenFreed();

// The local wall-clock time to the second (GetLocalTime), for records a person reads, with the
// zone's offset from UTC when the system knows it (GetTimeZoneInformation).
struct LocalTime {
    uint16_t year, month, day, hour, minute, second;
    bool zoneKnown = false;
    int16_t utcOffsetMinutes = 0;  // local time minus UTC
};
LocalTime CurrentLocalTime();

// The code page stored names are read in: the bound file system's, or on Win32 the system's ANSI
// code page (GetACP) when that is the system's own.
uint32_t ActiveCodePage();

// Sleeps for `milliseconds` (host builds scale every wait by the configured time scale).
void Sleep(uint32_t milliseconds);

// The shell's file operation (SHFileOperationW) with its Win32 field meanings. `from` is a list of
// NUL-terminated paths ending with an empty one (double NUL). Returns 0 on success.
inline constexpr uint32_t kFileOpDelete = 3;               // FO_DELETE
inline constexpr uint16_t kFileOpNoConfirmation = 0x0010;  // FOF_NOCONFIRMATION
inline constexpr uint16_t kFileOpSimpleProgress = 0x0100;  // FOF_SIMPLEPROGRESS
struct ShellFileOperation {
    WindowHandle owner;
    uint32_t function;
    const char16_t* from;
    const char16_t* to;
    uint16_t flags;
    int32_t* anyOperationsAborted;  // may be null
    void* nameMappings;             // always null here
    const char16_t* progressTitle;
};
int RunShellFileOperation(const ShellFileOperation& operation);

// Run-time linking: LoadLibraryW / GetProcAddress. The library is never released.
LibraryHandle LoadLibraryByName(const char16_t* name);
void* FindExport(LibraryHandle library, const char* name);

// Ends the process with the runtime's normal exit (exit handlers and static destructors run).
[[noreturn]] void ExitProcess(int status);

}  // namespace platform
