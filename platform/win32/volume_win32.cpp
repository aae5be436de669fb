// Win32 side of the volume services: GetDiskFreeSpaceExW for the free space, the volume's cluster
// for the allocation unit, and a FindFirstFileW walk.
//
// Calls used here that the device's embedded Windows does not offer (docs/porting.md):
// GetVolumePathNameW in VolumeRoot and GetDiskFreeSpaceW in GetVolumeSpace, which give the
// cluster; a device build takes the unit from the volume's own information instead. Where they
// fail the unit is taken as 4 KB.
#include <windows.h>

#include <string>

#include "platform/device_image.h"
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
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            bytes += unitBytes;  // a link, to a file or a folder, never followed
        } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            bytes += unitBytes;
            if (!MeasureWide(base + name, unitBytes, bytes)) {
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

}  // namespace

// A volume the image states but that cannot be read is no reason to look at the host's disk.
bool GetVolumeSpace(const char16_t* directory, VolumeSpace& space) {
    if (const ImageSetting stated = StatedVolume(directory, space);
        stated != ImageSetting::kAbsent) {
        return stated == ImageSetting::kStated;
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

bool IsEmptyDirectory(const char16_t* path) {
    const std::wstring directory = win32::Real(path);
    const DWORD attributes = ::GetFileAttributesW(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool empty = true;
    do {
        const std::wstring name = found.cFileName;
        empty = empty && (name == L"." || name == L"..");
    } while (empty && ::FindNextFileW(find, &found));
    ::FindClose(find);
    return empty;
}

}  // namespace platform
