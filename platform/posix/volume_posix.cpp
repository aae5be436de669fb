// POSIX side of the volume services: statvfs and a walk that never follows links.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

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

// A device image may state the size of one of its volumes, a folder at its top such as
// ResidentFlash2, in ROOT/.named/<folder>.volume: two decimal numbers, the size and the
// allocation unit in bytes. The volume's free space is then that size less what its tree takes,
// whatever the host's disk holds, so a small flash volume can be stood for without mounting one.
// False when the image states nothing for the folder holding `host`.
bool StatedVolume(const std::string& host, VolumeSpace& space) {
    const FileSystem* files = BoundFiles();
    if (files == nullptr || files->ExactHostPaths()) {
        return false;
    }
    const std::string root = files->Root() + "/";
    if (host.compare(0, root.size(), root) != 0) {
        return false;
    }
    const std::string folder = host.substr(root.size(), host.find('/', root.size()) - root.size());
    if (folder.empty() || folder[0] == '.') {
        return false;
    }
    const int fd = open((root + ".named/" + folder + ".volume").c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[64] = {};
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    unsigned long long size = 0;
    unsigned long long unit = 0;
    if (got <= 0 || std::sscanf(text, "%llu %llu", &size, &unit) != 2 || unit == 0) {
        return false;
    }
    uint64_t used = 0;
    if (!MeasureHost(root + folder, unit, used)) {
        return false;
    }
    space.unitBytes = unit;
    space.freeBytes = size > used ? size - used : 0;
    return true;
}

}  // namespace

bool GetVolumeSpace(const char16_t* directory, VolumeSpace& space) {
    const std::string host = DevicePathToHost(directory);
    if (StatedVolume(host, space)) {
        return true;
    }
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

}  // namespace platform
