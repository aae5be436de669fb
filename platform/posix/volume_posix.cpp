// POSIX side of the volume services: statvfs and a walk that never follows links.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform/device_image.h"
#include "platform/file.h"
#include "platform/volume.h"

namespace platform {
namespace {

bool MeasureHost(const std::string& directory, uint64_t unitBytes, uint64_t& bytes) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return errno == ENOENT;
    }
    bool ok = true;
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string path = directory + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            ok = false;
            break;
        }
        if (S_ISDIR(st.st_mode)) {
            bytes += unitBytes;
            if (!MeasureHost(path, unitBytes, bytes)) {
                ok = false;
                break;
            }
        } else if (S_ISREG(st.st_mode)) {
            bytes += RoundToUnits(static_cast<uint64_t>(st.st_size), unitBytes);
        } else {
            bytes += unitBytes;
        }
    }
    closedir(dir);
    return ok;
}

}  // namespace

// A volume the image states but that cannot be read is no reason to look at the host's disk.
bool GetVolumeSpace(const char16_t* directory, VolumeSpace& space) {
    if (const ImageSetting stated = StatedVolume(directory, space);
        stated != ImageSetting::kAbsent) {
        return stated == ImageSetting::kStated;
    }
    const std::string host = DevicePathToHost(directory);
    struct statvfs fs;
    if (statvfs(host.c_str(), &fs) != 0) {
        return false;
    }
    space.unitBytes = fs.f_frsize != 0 ? fs.f_frsize : (fs.f_bsize != 0 ? fs.f_bsize : 1);
    space.freeBytes = static_cast<uint64_t>(fs.f_bavail) * space.unitBytes;
    return true;
}

bool MeasureTree(const char16_t* directory, uint64_t unitBytes, uint64_t& bytes) {
    bytes = 0;
    return MeasureHost(DevicePathToHost(directory), unitBytes, bytes);
}

bool GetFileSize(const char16_t* path, uint64_t& size) {
    struct stat st;
    if (lstat(DevicePathToHost(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool RemoveEmptyDirectory(const char16_t* path) {
    return rmdir(DevicePathToHost(path).c_str()) == 0;
}

bool IsEmptyDirectory(const char16_t* path) {
    const std::string host = DevicePathToHost(path);
    struct stat st;
    if (lstat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    DIR* dir = opendir(host.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool empty = true;
    while (const dirent* e = readdir(dir)) {
        const std::string_view name = e->d_name;
        empty = empty && (name == "." || name == "..");
    }
    closedir(dir);
    return empty;
}

}  // namespace platform
