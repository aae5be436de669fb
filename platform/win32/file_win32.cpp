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

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/win32/wide.h"

namespace platform {

// WC_ERR_INVALID_CHARS (an unpaired surrogate fails a conversion to UTF-8), from headers that
// leave it out for older targets.
constexpr DWORD kErrInvalidChars = 0x80;

// WC_NO_BEST_FIT_CHARS, which the device's headers lack: there the round trip of every converted
// name (code_page.cpp) is what refuses a character a best fit would change.
#ifdef WC_NO_BEST_FIT_CHARS
constexpr DWORD kNoBestFitChars = WC_NO_BEST_FIT_CHARS;
#else
constexpr DWORD kNoBestFitChars = 0;
#endif

// Paths are real paths here: there is no letter-case emulation and no name index, and links are
// the file system's own business. A file system remembers which kind it was made as, its code
// page and, for a device image on a host (a tool's), the folder that stands for the device's `\`.
struct FileSystem::State {
    bool exact = false;
    uint32_t codePage = kSystemCodePage;
    std::wstring root;     // empty: device paths are the machine's own
    std::string rootText;  // Root(): `root` as UTF-8, or "\\"
};

namespace {

std::wstring WideOf(const std::string& utf8) {
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                              n);
    }
    return wide;
}

std::string Utf8Of(const wchar_t* text, int length) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
    }
    return out;
}

UINT BoundCodePage() {
    const FileSystem* files = BoundFiles();
    return files != nullptr ? files->CodePage() : CP_ACP;
}

}  // namespace

FileSystem::FileSystem(std::unique_ptr<State> state) : state_(std::move(state)) {}

FileSystem::~FileSystem() = default;

std::unique_ptr<FileSystem> FileSystem::DeviceImage(const std::string& hostDirectory,
                                                    uint32_t codePage) {
    // The device's own file system converts with the system's code page, whatever is asked.
    auto state = std::make_unique<State>();
    state->codePage = hostDirectory.empty() ? kSystemCodePage : codePage;
    state->rootText = "\\";
    if (!hostDirectory.empty()) {
        const std::wstring given = WideOf(hostDirectory);
        const DWORD needed = ::GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
        std::wstring full(needed, L'\0');
        const DWORD written =
            needed == 0 ? 0 : ::GetFullPathNameW(given.c_str(), needed, full.data(), nullptr);
        full.resize(written > 0 && written < needed ? written : 0);
        state->root = full.empty() ? given : full;
        while (state->root.size() > 3 &&
               (state->root.back() == L'\\' || state->root.back() == L'/')) {
            state->root.pop_back();
        }
        state->rootText = Utf8Of(state->root.c_str(), static_cast<int>(state->root.size()));
    }
    return std::unique_ptr<FileSystem>(new FileSystem(std::move(state)));
}

std::unique_ptr<FileSystem> FileSystem::HostPaths(const char16_t*, uint32_t codePage) {
    auto state = std::make_unique<State>();
    state->exact = true;
    state->codePage = codePage;
    state->rootText = "\\";
    return std::unique_ptr<FileSystem>(new FileSystem(std::move(state)));
}

const std::string& FileSystem::Root() const {
    return state_->rootText;
}

bool FileSystem::ExactHostPaths() const {
    return state_->exact;
}

uint32_t FileSystem::CodePage() const {
    return state_->codePage;
}

namespace win32 {

std::wstring Real(const char16_t* path) {
    FileSystem* files = BoundFiles();
    const wchar_t* wide = Wide(path);
    if (files == nullptr || files->state().root.empty() || path[0] == 0 ||
        (path[0] != u'\\' && path[0] != u'/') || path[1] == u'\\' || path[1] == u'/') {
        return wide;
    }
    return files->state().root + wide;
}

}  // namespace win32

namespace {

// The reason of this thread's last failed call of this layer. GetLastError alone does not keep it
// until a caller asks: a call that succeeds may clear it (TlsGetValue, which thread-local storage
// goes through, sets it to 0), and a reason read then would be lost.
thread_local DWORD t_error = 0;

// Returns `result`; when `failed`, keeps the system's reason first.
template <typename T>
T Kept(T result, bool failed) {
    if (failed) {
        const DWORD code = ::GetLastError();
        t_error = code;
        ::SetLastError(code);
    }
    return result;
}

}  // namespace

void ResetFileError() {
    t_error = 0;
    ::SetLastError(0);
}

namespace {

// The system's text for a Win32 error code, on one line without the final full stop.
std::string SystemMessage(DWORD code) {
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

// The Win32 error behind an errno value that the C runtime or std::filesystem reported for a
// file operation; 0 for one without a file-system meaning. The runtime folds "file not found"
// and "path not found" into ENOENT, and std::filesystem says ENOTDIR where Windows finds no path
// through a file: both are reported where a folder on the way is missing.
DWORD Win32ErrorOf(int value) {
    switch (value) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOSPC:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EMFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return 0;
    }
}

}  // namespace

std::string LastFileError() {
    const DWORD now = ::GetLastError();
    const DWORD code = now != 0 ? now : t_error;
    return code == 0 ? std::string() : SystemMessage(code);
}

std::string ErrorText(const std::error_code& code) {
    if (code.category() == std::system_category()) {
        return SystemMessage(static_cast<DWORD>(code.value()));
    }
    const DWORD win32 = code.category() == std::generic_category() ? Win32ErrorOf(code.value()) : 0;
    return win32 != 0 ? SystemMessage(win32) : code.message();
}

std::string DevicePathToHost(const char16_t* path) {
    if (path == nullptr) {
        return std::string();
    }
    const std::wstring real = win32::Real(path);
    return Utf8Of(real.c_str(), static_cast<int>(real.size()));
}

bool HostPathToDevice(const std::string& hostPath, std::u16string& devicePath) {
    if (hostPath.empty() || hostPath.size() > 0x7FFFFFFF) {
        return false;
    }
    // qzp.exe hands over its UTF-16 arguments as UTF-8; text that is not valid UTF-8 (a caller
    // with ANSI arguments) is taken as ANSI.
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
        return Kept<std::FILE*>(nullptr, true);
    }
    // The same three modes as the POSIX side; anything else is a caller's mistake.
    const std::u16string_view m(mode);
    if (m == u"wbx") {
        // CREATE_NEW fails on anything already at the path, a link included; the C runtime's
        // descriptor and stream then own the handle.
        const HANDLE file = ::CreateFileW(win32::Real(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return Kept<std::FILE*>(nullptr, true);
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
        return Kept(stream, stream == nullptr);
    }
    if (m != u"rb" && m != u"wb") {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return Kept<std::FILE*>(nullptr, true);
    }
    // A file open for reading cannot be written by anyone else meanwhile: a package whose
    // signature was checked stays the package that is extracted.
    std::FILE* stream = m == u"rb" ? ::_wfsopen(win32::Real(path).c_str(), L"rb", _SH_DENYWR)
                                   : ::_wfopen(win32::Real(path).c_str(), win32::Wide(mode));
    return Kept(stream, stream == nullptr);
}

std::size_t WriteStream(std::FILE* stream, const void* data, std::size_t count) {
    if (!fault::WriteAllowed()) {
        ::SetLastError(ERROR_WRITE_FAULT);
        return Kept<std::size_t>(0, true);
    }
    const std::size_t written = std::fwrite(data, 1, count, stream);
    return Kept(written, written < count);
}

uint32_t GetAttributes(const char16_t* path) {
    if (path == nullptr) {
        return kInvalidFileAttributes;
    }
    const uint32_t attributes = ::GetFileAttributesW(win32::Real(path).c_str());
    return Kept(attributes, attributes == kInvalidFileAttributes);
}

bool CreateDir(const char16_t* path) {
    if (path == nullptr) {
        return false;
    }
    const bool ok = ::CreateDirectoryW(win32::Real(path).c_str(), nullptr) != 0;
    return Kept(ok, !ok);
}

bool CommitStream(std::FILE* stream) {
    const bool ok = stream != nullptr && std::fflush(stream) == 0 && _commit(_fileno(stream)) == 0;
    return Kept(ok, !ok);
}

bool RenameReplacing(const char16_t* from, const char16_t* to) {
    if (from == nullptr || to == nullptr) {
        return false;
    }
    // Every replacement of a file goes through here. The device's embedded Windows has no
    // MoveFileExW: there this becomes DeleteFileW(to) then MoveFileW(from, to), and a power loss
    // between the two leaves `from` complete and `to` missing until the next run writes `to`
    // again (docs/porting.md).
    const bool ok = ::MoveFileExW(win32::Real(from).c_str(), win32::Real(to).c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    return Kept(ok, !ok);
}

bool RemoveFile(const char16_t* path) {
    const bool ok = path != nullptr && ::DeleteFileW(win32::Real(path).c_str()) != 0;
    return Kept(ok, !ok);
}

int MultiByteToWide(const char* src, int srcLength, char16_t* dst, int dstCapacity) {
    if (src == nullptr || srcLength < -1 || dstCapacity < 0 ||
        (dstCapacity > 0 && dst == nullptr)) {
        return 0;
    }
    return ::MultiByteToWideChar(BoundCodePage(), 0, src, srcLength, win32::Wide(dst), dstCapacity);
}

int WideToMultiByte(const char16_t* src, int srcLength, char* dst, int dstCapacity) {
    if (src == nullptr || srcLength < -1 || dstCapacity < 0 ||
        (dstCapacity > 0 && dst == nullptr)) {
        return 0;
    }
    return ::WideCharToMultiByte(BoundCodePage(), 0, win32::Wide(src), srcLength, dst, dstCapacity,
                                 nullptr, nullptr);
}

// The desktop tools' strict conversions: no best fit, no default character, no undefined byte.
bool EncodeStrictly(std::u16string_view text, std::string& narrow) {
    narrow.clear();
    if (text.empty()) {
        return true;
    }
    if (text.size() > 0x7FFFFFFF) {
        return false;
    }
    const UINT codePage = BoundCodePage();
    const bool utf8 = codePage == CP_UTF8;
    const DWORD flags = utf8 ? kErrInvalidChars : kNoBestFitChars;
    BOOL usedDefault = FALSE;
    const int length = static_cast<int>(text.size());
    const int n = ::WideCharToMultiByte(codePage, flags, win32::Wide(text.data()), length, nullptr,
                                        0, nullptr, utf8 ? nullptr : &usedDefault);
    if (n <= 0 || usedDefault) {
        return false;
    }
    narrow.resize(static_cast<std::size_t>(n));
    ::WideCharToMultiByte(codePage, flags, win32::Wide(text.data()), length, narrow.data(), n,
                          nullptr, nullptr);
    return true;
}

bool FromCodePage(std::string_view narrow, std::u16string& text) {
    text.clear();
    if (narrow.empty()) {
        return true;
    }
    if (narrow.size() > 0x7FFFFFFF) {
        return false;
    }
    const UINT codePage = BoundCodePage();
    const int length = static_cast<int>(narrow.size());
    const int n =
        ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, narrow.data(), length, nullptr, 0);
    if (n <= 0) {
        return false;
    }
    text.resize(static_cast<std::size_t>(n));
    ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, narrow.data(), length,
                          win32::Wide(text.data()), n);
    return true;
}

}  // namespace platform
