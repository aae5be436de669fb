// Win32 side of the kernel, shell and library services: each function is the Win32 call of the
// same meaning.
//
// Calls used here that the device's embedded Windows spells differently (docs/porting.md):
// GetProcAddress with a narrow export name in FindExport (the device's takes a wide name, or
// GetProcAddressA a narrow one).
#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/file.h"
#include "platform/system.h"
#include "platform/win32/wide.h"

namespace platform {

static_assert(kErrorAlreadyExists == ERROR_ALREADY_EXISTS &&
              kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(kFileOpDelete == FO_DELETE && kFileOpNoConfirmation == FOF_NOCONFIRMATION &&
              kFileOpSimpleProgress == FOF_SIMPLEPROGRESS);

namespace {

// A ThreadProc is not a Win32 thread routine; the start goes through this trampoline.
struct ThreadStart {
    ThreadProc proc;
    void* parameter;
    FileSystem* files;  // the creator's, bound to the new thread
};

DWORD WINAPI ThreadTrampoline(LPVOID raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    if (start.files == nullptr) {
        return start.proc(start.parameter);
    }
    const UseFiles bound(*start.files);
    return start.proc(start.parameter);
}

}  // namespace

Handle CreateNamedMutex(const char16_t* name) {
    return ::CreateMutexW(nullptr, FALSE, win32::Wide(name));
}

uint32_t LastError() {
    return ::GetLastError();
}

bool CloseHandle(Handle handle) {
    return ::CloseHandle(handle) != 0;
}

Handle CreateThread(ThreadProc proc, void* parameter) {
    if (proc == nullptr) {
        return nullptr;
    }
    auto* start = new (std::nothrow) ThreadStart{proc, parameter, BoundFiles()};
    if (start == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE thread = ::CreateThread(nullptr, 0, &ThreadTrampoline, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
    }
    return thread;
}

void ReturnLargeBlocksWhenFreed() {}  // the system's heap maps large blocks on its own

uint32_t ProcessorCount() {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors != 0 ? info.dwNumberOfProcessors : 1;
}

LocalTime CurrentLocalTime() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    LocalTime local{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    // Bias is UTC minus local time, in minutes; the standard or daylight bias is added when the
    // zone has the two.
    TIME_ZONE_INFORMATION zone;
    const DWORD kind = ::GetTimeZoneInformation(&zone);
    if (kind != TIME_ZONE_ID_INVALID) {
        LONG bias = zone.Bias;
        bias += kind == TIME_ZONE_ID_DAYLIGHT   ? zone.DaylightBias
                : kind == TIME_ZONE_ID_STANDARD ? zone.StandardBias
                                                : 0;
        local.zoneKnown = true;
        local.utcOffsetMinutes = static_cast<int16_t>(-bias);
    }
    return local;
}

uint32_t ActiveCodePage() {
    const FileSystem* files = BoundFiles();
    const uint32_t codePage = files != nullptr ? files->CodePage() : kSystemCodePage;
    return codePage != kSystemCodePage ? codePage : ::GetACP();
}

void Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

int RunShellFileOperation(const ShellFileOperation& operation) {
    SHFILEOPSTRUCTW op = {};
    op.hwnd = static_cast<HWND>(operation.owner);
    op.wFunc = operation.function;
    op.pFrom = win32::Wide(operation.from);
    op.pTo = win32::Wide(operation.to);
    op.fFlags = operation.flags;
    op.hNameMappings = operation.nameMappings;
    op.lpszProgressTitle = win32::Wide(operation.progressTitle);
    const int result = ::SHFileOperationW(&op);
    if (operation.anyOperationsAborted != nullptr) {
        *operation.anyOperationsAborted = op.fAnyOperationsAborted ? 1 : 0;
    }
    return result;
}

LibraryHandle LoadLibraryByName(const char16_t* name) {
    return ::LoadLibraryW(win32::Wide(name));
}

void* FindExport(LibraryHandle library, const char* name) {
    const FARPROC address = ::GetProcAddress(static_cast<HMODULE>(library), name);
    // A code address handed on as a plain pointer; the caller turns it back into its function type.
    void* result = nullptr;
    static_assert(sizeof result == sizeof address);
    std::memcpy(&result, &address, sizeof result);
    return result;
}

[[noreturn]] void ExitProcess(int status) {
    std::exit(status);
}

}  // namespace platform
