// Win32 side of the file services: device paths are real Windows paths and go to the wide calls
// unchanged. char16_t and wchar_t are both UTF-16 code units here, so the text is reinterpreted,
// never copied.
//
// Calls used here that the device's embedded Windows does not offer (docs/porting.md has each
// one's replacement): GetFullPathNameW in HostPathToDevice (only the tools use it); MoveFileExW
// in RenameReplacing, the one function every replacement of a file goes through; _wfsopen,
// _open_osfhandle and _close in OpenStream; _commit in CommitStream.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/win32/wide.h"

namespace platform {

// Paths are real paths here: there is no letter-case emulation and no name index, and links are
// the file system's own business. A file system only remembers which kind it was made as.
struct FileSystem::State {
    bool exact = false;
};

FileSystem::FileSystem(std::unique_ptr<State> state) : state_(std::move(state)) {}

FileSystem::~FileSystem() = default;

std::unique_ptr<FileSystem> FileSystem::DeviceImage(const std::string&) {
    return std::unique_ptr<FileSystem>(new FileSystem(std::make_unique<State>()));
}

std::unique_ptr<FileSystem> FileSystem::HostPaths(const char16_t*) {
    auto state = std::make_unique<State>();
    state->exact = true;
    return std::unique_ptr<FileSystem>(new FileSystem(std::move(state)));
}

const std::string& FileSystem::Root() const {
    static const std::string root = "\\";
    return root;
}

bool FileSystem::ExactHostPaths() const {
    return state_->exact;
}

void ResetFileError() {
    ::SetLastError(0);
}

std::string LastFileError() {
    const DWORD code = ::GetLastError();
    if (code == 0) {
        return std::string();
    }
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text != nullptr) {
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0,
                                               nullptr, nullptr);
        if (size > 0) {
            out.resize(static_cast<std::size_t>(size));
            ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), size, nullptr,
                                  nullptr);
        }
    }
    ::LocalFree(text);
    while (!out.empty() &&
           (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out.empty() ? "system error " + std::to_string(code) : out;
}

std::string DevicePathToHost(const char16_t* path) {
    if (path == nullptr) {
        return std::string();
    }
    const std::u16string_view text(path);
    std::string out;
    const int n = ::WideCharToMultiByte(
        CP_UTF8, 0, win32::Wide(path), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n));
        ::WideCharToMultiByte(CP_UTF8, 0, win32::Wide(path), static_cast<int>(text.size()),
                              out.data(), n, nullptr, nullptr);
    }
    return out;
}

bool HostPathToDevice(const std::string& hostPath, std::u16string& devicePath) {
    if (hostPath.empty() || hostPath.size() > 0x7FFFFFFF) {
        return false;
    }
    // Command lines reach the tools either as UTF-8 (scripts) or in the ANSI code page (main's
    // argv on Windows); text that is not valid UTF-8 is taken as ANSI.
    const int length = static_cast<int>(hostPath.size());
    UINT codePage = CP_UTF8;
    int n =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, hostPath.data(), length, nullptr, 0);
    if (n <= 0) {
        codePage = CP_ACP;
        n = ::MultiByteToWideChar(CP_ACP, 0, hostPath.data(), length, nullptr, 0);
        if (n <= 0) {
            return false;
        }
    }
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(codePage, codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0, hostPath.data(),
                          length, wide.data(), n);

    const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return false;
    }
    std::wstring full(needed, L'\0');
    const DWORD written = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) {
        return false;
    }
    full.resize(written);
    devicePath.assign(win32::Utf16(full.c_str()), full.size());
    return true;
}

std::FILE* OpenStream(const char16_t* path, const char16_t* mode) {
    if (path == nullptr || mode == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The same three modes as the POSIX side; anything else is a caller's mistake.
    const std::u16string_view m(mode);
    if (m == u"wbx") {
        // CREATE_NEW fails on anything already at the path, a link included; the C runtime's
        // descriptor and stream then own the handle.
        const HANDLE file = ::CreateFileW(win32::Wide(path), GENERIC_WRITE, FILE_SHARE_READ,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
        const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
        if (fd < 0) {
            ::CloseHandle(file);
            return nullptr;
        }
        std::FILE* stream = ::_wfdopen(fd, L"wb");
        if (stream == nullptr) {
            ::_close(fd);
        }
        return stream;
    }
    if (m != u"rb" && m != u"wb") {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A file open for reading cannot be written by anyone else meanwhile: a package whose
    // signature was checked stays the package that is extracted.
    if (m == u"rb") {
        return ::_wfsopen(win32::Wide(path), L"rb", _SH_DENYWR);
    }
    return ::_wfopen(win32::Wide(path), win32::Wide(mode));
}

std::size_t WriteStream(std::FILE* stream, const void* data, std::size_t count) {
    if (!fault::BeforeWrite()) {
        ::SetLastError(ERROR_WRITE_FAULT);
        return 0;
    }
    return std::fwrite(data, 1, count, stream);
}

uint32_t GetAttributes(const char16_t* path) {
    if (path == nullptr) {
        return kInvalidFileAttributes;
    }
    return ::GetFileAttributesW(win32::Wide(path));
}

bool CreateDir(const char16_t* path) {
    if (path == nullptr) {
        return false;
    }
    return ::CreateDirectoryW(win32::Wide(path), nullptr) != 0;
}

bool CopyFileTo(const char16_t* from, const char16_t* to, bool failIfExists) {
    if (from == nullptr || to == nullptr) {
        return false;
    }
    // CopyFileW writes in one call: it counts as one write, failing before anything is copied.
    if (!fault::BeforeWrite()) {
        ::SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return ::CopyFileW(win32::Wide(from), win32::Wide(to), failIfExists ? TRUE : FALSE) != 0;
}

bool CommitStream(std::FILE* stream) {
    return stream != nullptr && std::fflush(stream) == 0 && _commit(_fileno(stream)) == 0;
}

bool RenameReplacing(const char16_t* from, const char16_t* to) {
    if (from == nullptr || to == nullptr) {
        return false;
    }
    // Every replacement of a file goes through here. The device's embedded Windows has no
    // MoveFileExW: there this becomes DeleteFileW(to) then MoveFileW(from, to), and a power loss
    // between the two leaves `from` complete and `to` missing until the next run writes `to`
    // again (docs/porting.md).
    return ::MoveFileExW(win32::Wide(from), win32::Wide(to),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const char16_t* path) {
    return path != nullptr && ::DeleteFileW(win32::Wide(path)) != 0;
}

int MultiByteToWide(const char* src, int srcLength, char16_t* dst, int dstCapacity) {
    if (src == nullptr || srcLength < -1 || dstCapacity < 0 ||
        (dstCapacity > 0 && dst == nullptr)) {
        return 0;
    }
    return ::MultiByteToWideChar(CP_ACP, 0, src, srcLength, win32::Wide(dst), dstCapacity);
}

int WideToMultiByte(const char16_t* src, int srcLength, char* dst, int dstCapacity) {
    if (src == nullptr || srcLength < -1 || dstCapacity < 0 ||
        (dstCapacity > 0 && dst == nullptr)) {
        return 0;
    }
    return ::WideCharToMultiByte(CP_ACP, 0, win32::Wide(src), srcLength, dst, dstCapacity, nullptr,
                                 nullptr);
}

}  // namespace platform
