// The names each directory holds, read once and kept with the directory open for the run, so that
// a lookup costs no directory read and a name in another letter case is found without a listing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/posix/file_index.h"
#include "platform/posix/file_state.h"

namespace platform {

FileSystem::State& S() {
    return BoundFiles()->state();
}

bool Bound() {
    return BoundFiles() != nullptr || Fail(ENXIO, "no file system is bound to this thread");
}

void ForgetLocked() {
    S().lastParent = LastParent();
    S().dirs.clear();
    S().indexes.clear();
    S().indexedNames = 0;
}

std::string JoinKey(const std::string& key, const std::string& name) {
    return key.empty() ? name : key + "/" + name;
}

Index& NewIndex(const std::string& key, const Dir& dir) {
    if (S().indexedNames > kMaxIndexedNames || S().indexes.size() >= kMaxIndexes) {
        S().indexes.clear();
        S().indexedNames = 0;
    }
    Index& index = S().indexes[key];
    index = Index();
    index.device = dir.device;
    index.inode = dir.inode;
    return index;
}

namespace {

// Reads the names of `dir` once; later lookups use what was read.
Index& IndexOf(const std::string& key, const Dir& dir) {
    const auto it = S().indexes.find(key);
    if (it != S().indexes.end()) {
        return it->second;
    }
    Index& index = NewIndex(key, dir);
    ++S().listings;
    const int fd = openat(dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        return index;
    }
    while (const dirent* e = readdir(d)) {
        const std::string_view name = e->d_name;
        if (name != "." && name != ".." && index.Add(name)) {
            ++S().indexedNames;
        }
    }
    closedir(d);
    return index;
}

}  // namespace

void IndexAdd(const std::string& key, const std::string& name) {
    const auto it = S().indexes.find(key);
    if (it != S().indexes.end() && it->second.Add(name)) {
        ++S().indexedNames;
    }
}

void IndexRemove(const std::string& key, const std::string& name) {
    const auto it = S().indexes.find(key);
    if (it != S().indexes.end()) {
        it->second.Remove(name);
    }
}

std::string Spell(const std::string& key, const Dir& dir, const std::string& name) {
    if (S().exact || !IndexOf(key, dir).MayHold(name)) {
        return name;
    }
    struct stat st;
    if (fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return name;
    }
    Index& index = IndexOf(key, dir);
    if (!index.spelled) {
        ++S().listings;
        index.spelled = true;
        const int fd = openat(dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
        if (d == nullptr) {
            if (fd >= 0) {
                close(fd);
            }
            index.spelled = false;
            return name;
        }
        while (const dirent* e = readdir(d)) {
            const std::string_view spelling = e->d_name;
            if (spelling != "." && spelling != "..") {
                index.Spelled(spelling);
            }
        }
        closedir(d);
    }
    const std::string folded = Index::Folded(name);
    if (const auto it = index.spellings.find(folded); it != index.spellings.end()) {
        return it->second;
    }
    return fstatat(dir.fd, folded.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? folded : name;
}

std::shared_ptr<Dir> Remember(const std::string& key, int fd) {
    auto dir = std::make_shared<Dir>();
    dir->fd = fd;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return nullptr;
    }
    dir->device = st.st_dev;
    dir->inode = st.st_ino;
    const auto index = S().indexes.find(key);
    if (index != S().indexes.end() &&
        (index->second.device != st.st_dev || index->second.inode != st.st_ino)) {
        S().indexes.erase(index);  // another directory now stands at that path
    }
    if (S().dirs.size() >= kMaxOpenDirs) {
        S().dirs.clear();
    }
    S().dirs[key] = dir;
    return dir;
}

namespace posix {

void ForgetDirectories() {
    if (BoundFiles() != nullptr) {
        std::lock_guard<std::mutex> lock(S().mutex);
        ForgetLocked();
    }
}

uint64_t DirectoryListings() {
    if (BoundFiles() == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().listings;
}

}  // namespace posix

}  // namespace platform
