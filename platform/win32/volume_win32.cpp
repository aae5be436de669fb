// Win32 side of the volume services: GetDiskFreeSpaceExW for the free space, the volume's cluster
// for the allocation unit, and a FindFirstFileW walk.
//
// Calls used here that the device's embedded Windows does not offer (docs/porting.md):
// GetVolumePathNameW in VolumeRoot and GetDiskFreeSpaceW in GetVolumeSpace, which give the
// cluster; a device build takes the unit from the volume's own information instead. Where they
// fail the unit is taken as 4 KB.
#include <windows.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <system_error>

#include "platform/file.h"
#include "platform/volume.h"
#include "platform/win32/wide.h"

namespace platform {
namespace {

constexpr uint64_t kFallbackUnit = 4096;

// The root of the volume holding `directory` ("C:\" or "\\server\share\"), for GetDiskFreeSpaceW.
std::wstring VolumeRoot(const wchar_t* directory) {
    wchar_t root[MAX_PATH] = {};
    if (::GetVolumePathNameW(directory, root, MAX_PATH)) {
        return root;
    }
    return std::wstring();
}

bool MeasureWide(const std::wstring& directory, uint64_t unitBytes, uint64_t& bytes) {
    std::wstring pattern = directory;
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') {
        pattern += L'\\';
    }
    const std::wstring base = pattern;
    pattern += L"*";
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW(pattern.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    bool ok = true;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            bytes += unitBytes;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                !MeasureWide(base + name, unitBytes, bytes)) {
                ok = false;
                break;
            }
        } else {
            const uint64_t size =
                (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            bytes += RoundToUnits(size, unitBytes);
        }
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    return ok;
}

// A device image on a host may state the size of one of its top folders, as the POSIX one does:
// ROOT\.named\<folder>.volume holds the size and the allocation unit in bytes, and the folder's
// free space is that size less what its tree takes. False when the image states nothing for the
// folder holding `directory`, or no device image is bound.
bool StatedVolume(const char16_t* directory, VolumeSpace& space) {
    const FileSystem* files = BoundFiles();
    if (files == nullptr || files->ExactHostPaths() || files->Root() == "\\") {
        return false;
    }
    const std::wstring root = win32::Real(u"\\");
    std::wstring path = win32::Real(directory);
    if (path.compare(0, root.size(), root) != 0) {
        return false;
    }
    const std::size_t cut = path.find_first_of(L"\\/", root.size());
    const std::wstring folder = path.substr(root.size(), cut - root.size());
    if (folder.empty() || folder[0] == L'.') {
        return false;
    }
    std::FILE* file = ::_wfopen((root + L".named\\" + folder + L".volume").c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    char text[64] = {};
    const std::size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    // Two decimal numbers separated by blanks, read without scanf, which would bring the
    // installer imports it has no other use for.
    uint64_t size = 0;
    uint64_t unit = 0;
    const char* at = text;
    const char* end = text + got;
    for (uint64_t* number : {&size, &unit}) {
        while (at < end && (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n')) {
            ++at;
        }
        const std::from_chars_result read = std::from_chars(at, end, *number);
        if (read.ec != std::errc() || read.ptr == at) {
            return false;
        }
        at = read.ptr;
    }
    if (unit == 0) {
        return false;
    }
    uint64_t used = 0;
    if (!MeasureWide(root + folder, unit, used)) {
        return false;
    }
    space.unitBytes = unit;
    space.freeBytes = size > used ? size - used : 0;
    return true;
}

}  // namespace

bool GetVolumeSpace(const char16_t* directory, VolumeSpace& space) {
    if (StatedVolume(directory, space)) {
        return true;
    }
    const std::wstring real = win32::Real(directory);
    ULARGE_INTEGER available;
    if (!::GetDiskFreeSpaceExW(real.c_str(), &available, nullptr, nullptr)) {
        return false;
    }
    space.freeBytes = available.QuadPart;
    space.unitBytes = kFallbackUnit;
    const std::wstring root = VolumeRoot(real.c_str());
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!root.empty() &&
        ::GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                            &clusters) &&
        sectorsPerCluster != 0 && bytesPerSector != 0) {
        space.unitBytes = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
    }
    return true;
}

bool MeasureTree(const char16_t* directory, uint64_t unitBytes, uint64_t& bytes) {
    bytes = 0;
    return MeasureWide(win32::Real(directory), unitBytes, bytes);
}

bool GetFileSize(const char16_t* path, uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(win32::Real(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool RemoveEmptyDirectory(const char16_t* path) {
    return ::RemoveDirectoryW(win32::Real(path).c_str()) != 0;
}

}  // namespace platform
