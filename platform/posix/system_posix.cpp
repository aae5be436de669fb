// POSIX side of the kernel, shell and library services.
//
// A named mutex is a lock file ROOT/.named/<name>; "holding" the mutex means holding an flock on
// it, so another process (the device's loader in a test) plays the owner with flock(1). Neither
// `.named` nor the lock file is ever followed as a symbolic link: a link there makes the mutex
// impossible to create, and can neither point the lock outside the image nor lend it a lock
// someone holds elsewhere. A file on
// which another open file holds an flock counts as in use for the shell's delete, as a file opened
// by another program does on the device.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/posix/file_index.h"
#include "platform/posix/runtime.h"
#include "platform/system.h"
#include "platform/text.h"

namespace platform {
namespace {

// Win32 error codes reported through LastError and the shell's result.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorSharingViolation = 0x20;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorModNotFound = 126;
constexpr uint32_t kErrorProcNotFound = 127;

thread_local uint32_t t_lastError = 0;

struct HandleObject {
    int fd = -1;  // the held lock file of a named mutex; -1 otherwise
};

// Live handles, so that closing an unknown or already closed handle fails instead of freeing
// memory twice.
struct HandleTable {
    std::mutex mutex;
    std::unordered_set<HandleObject*> live;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable;
    return *table;
}

Handle NewHandle(int fd) {
    auto* object = new HandleObject{fd};
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    table.live.insert(object);
    return object;
}

// A mutex name becomes one file name: separators would leave the lock directory.
std::string LockFileName(const std::u16string& name) {
    std::string file = Utf16ToUtf8(name);
    std::replace(file.begin(), file.end(), '/', '_');
    std::replace(file.begin(), file.end(), '\\', '_');
    if (file == "." || file == "..") {
        file.insert(file.begin(), '_');
    }
    return file;
}

// Opens (creating it) the regular file ROOT/.named/`file` read-write without following a link at
// `.named` or at the file: the directory is opened once and the file relative to it. -1 when
// either is a link, the file is not a regular one, or anything else fails.
int OpenLockFile(const std::string& root, const std::string& file) {
    const int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        return -1;
    }
    mkdirat(rootFd, ".named", 0755);  // may exist already; the open decides
    const int dirFd = openat(rootFd, ".named", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(rootFd);
    if (dirFd < 0) {
        return -1;
    }
    int fd =
        openat(dirFd, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    close(dirFd);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

bool InUseByOther(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;  // unlink decides
    }
    const bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // drops our probe lock as well
    return busy;
}

uint32_t RemoveTree(const std::string& path);

// Removes the entries of the open directory `dir` (at `path`) whose names match `pattern` (letter
// case ignored), in byte order, and closes `dir`. Stops at the first that cannot be removed. The
// names are taken in batches of the smallest left, so a folder of many long names is never held
// whole.
uint32_t RemoveMatching(DIR* dir, const std::string& path, const char* pattern) {
    constexpr std::size_t kBatch = 1024;
    std::string after;  // the last name removed; the next batch comes after it
    for (bool first = true;; first = false) {
        std::vector<std::string> names;  // a max-heap of the smallest names after `after`
        rewinddir(dir);
        while (const dirent* e = readdir(dir)) {
            const std::string_view name = e->d_name;
            if (name == "." || name == ".." || (!first && name <= after) ||
                fnmatch(pattern, e->d_name, FNM_CASEFOLD) != 0) {
                continue;
            }
            if (names.size() < kBatch) {
                names.emplace_back(name);
                std::push_heap(names.begin(), names.end());
            } else if (name < names.front()) {
                std::pop_heap(names.begin(), names.end());
                names.back() = name;
                std::push_heap(names.begin(), names.end());
            }
        }
        std::sort_heap(names.begin(), names.end());
        for (const std::string& name : names) {
            if (const uint32_t r = RemoveTree(path + "/" + name)) {
                closedir(dir);
                return r;
            }
        }
        if (names.size() < kBatch) {
            break;
        }
        after = names.back();
    }
    closedir(dir);
    return 0;
}

// Deletes a file, or a directory with everything in it; symbolic links are removed, never
// followed. Stops at the first entry that cannot be deleted and returns its error.
uint32_t RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return kErrorFileNotFound;
    }
    if (S_ISDIR(st.st_mode)) {
        DIR* dir = opendir(path.c_str());
        if (dir == nullptr) {
            return kErrorAccessDenied;
        }
        if (const uint32_t r = RemoveMatching(dir, path, "*")) {
            return r;
        }
        return rmdir(path.c_str()) == 0 ? 0 : kErrorAccessDenied;
    }
    if (S_ISREG(st.st_mode) && InUseByOther(path)) {
        return kErrorSharingViolation;
    }
    return unlink(path.c_str()) == 0 ? 0 : kErrorAccessDenied;
}

// One source of a delete: a path, or a directory followed by a wildcard pattern (`*.*` matches
// every name, as on the device). A pattern that matches nothing, or whose directory does not
// exist, leaves nothing to delete and succeeds; a plain path that does not exist fails.
uint32_t DeleteSource(const std::u16string& source) {
    const std::size_t cut = source.find_last_of(u"\\/");
    const std::u16string last = cut == std::u16string::npos ? source : source.substr(cut + 1);
    if (last.find_first_of(u"*?") == std::u16string::npos) {
        return RemoveTree(DevicePathToHost(source.c_str()));
    }
    const std::u16string dirPart = cut == std::u16string::npos ? u"\\" : source.substr(0, cut + 1);
    const std::string dir = DevicePathToHost(dirPart.c_str());
    const std::string pattern = last == u"*.*" ? std::string("*") : Utf16ToUtf8(last);
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return errno == ENOENT ? 0 : kErrorAccessDenied;
    }
    return RemoveMatching(d, dir, pattern.c_str());
}

}  // namespace

Handle CreateNamedMutex(const char16_t* name) {
    if (name == nullptr || *name == 0) {
        t_lastError = 0;
        return NewHandle(-1);  // an unnamed mutex: nobody else can see it
    }
    const FileSystem* files = BoundFiles();
    if (files == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    const int fd = OpenLockFile(files->Root(), LockFileName(name));
    if (fd < 0) {
        t_lastError = kErrorAccessDenied;
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        close(fd);
        if (!held) {
            t_lastError = kErrorAccessDenied;
            return nullptr;
        }
        // Someone else holds it: the object exists. The handle does not hold it.
        Handle handle = NewHandle(-1);
        t_lastError = kErrorAlreadyExists;
        return handle;
    }
    Handle handle = NewHandle(fd);
    t_lastError = 0;
    return handle;
}

uint32_t LastError() {
    return t_lastError;
}

bool CloseHandle(Handle handle) {
    auto* object = static_cast<HandleObject*>(handle);
    {
        HandleTable& table = Handles();
        std::lock_guard lock(table.mutex);
        if (table.live.erase(object) == 0) {
            t_lastError = kErrorInvalidHandle;
            return false;
        }
    }
    if (object->fd >= 0) {
        close(object->fd);
    }
    delete object;
    return true;
}

Handle CreateThread(ThreadProc proc, void* parameter) {
    if (proc == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
#ifdef __GLIBC__
    // Every thread allocates from the one heap, as on the device: an arena per thread would keep
    // what each thread once freed, megabytes that the device's process does not have.
    static const bool oneHeap = mallopt(M_ARENA_MAX, 1) == 1;
    (void)oneHeap;
#endif
    // The handle first: once the thread runs, nothing may fail any more.
    Handle handle = nullptr;
    try {
        handle = NewHandle(-1);
        std::thread([proc, parameter, files = BoundFiles()] {
            if (files != nullptr) {
                const UseFiles bound(*files);
                proc(parameter);
            } else {
                proc(parameter);
            }
        }).detach();
    } catch (const std::exception&) {  // no memory for its state, or no thread (its stack)
        if (handle != nullptr) {
            CloseHandle(handle);
        }
        t_lastError = kErrorNotEnoughMemory;
        return nullptr;
    }
    return handle;
}

uint32_t ProcessorCount() {
    return std::max(1u, std::thread::hardware_concurrency());
}

void ReturnLargeBlocksWhenFreed() {
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);  // glibc's default, now fixed
#endif
}

LocalTime CurrentLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    auto word = [](int value) { return static_cast<uint16_t>(value); };
    return {word(local.tm_year + 1900),
            word(local.tm_mon + 1),
            word(local.tm_mday),
            word(local.tm_hour),
            word(local.tm_min),
            word(local.tm_sec),
            true,
            static_cast<int16_t>(local.tm_gmtoff / 60)};
}

uint32_t ActiveCodePage() {
    const FileSystem* files = BoundFiles();
    return files != nullptr ? files->CodePage() : kDefaultCodePage;
}

void Sleep(uint32_t milliseconds) {
    const auto wait = posix::Scaled(milliseconds);
    if (wait > posix::Clock::duration::zero()) {
        std::this_thread::sleep_for(wait);
    } else {
        std::this_thread::yield();
    }
}

int RunShellFileOperation(const ShellFileOperation& operation) {
    if (operation.anyOperationsAborted != nullptr) {
        *operation.anyOperationsAborted = 0;
    }
    if (operation.function != kFileOpDelete) {
        return static_cast<int>(kErrorInvalidParameter);
    }
    std::vector<std::u16string> sources;
    for (const char16_t* p = operation.from; p != nullptr && *p != 0; p += U16Length(p) + 1) {
        sources.emplace_back(p);
    }
    uint32_t result = sources.empty() ? kErrorFileNotFound : 0;
    const bool showProgress =
        (operation.flags & kFileOpSimpleProgress) != 0 && operation.progressTitle != nullptr;
    posix::Presenter& presenter = posix::CurrentPresenter();
    const std::u16string title = showProgress ? operation.progressTitle : u"";
    if (showProgress) {
        presenter.ShellProgress(title, true);
    }
    // A test run's plan may have a user cancel the delete in the shell's progress window before
    // anything is deleted: the result is 0, the aborted flag set.
    if (fault::PurgeAborted()) {
        if (operation.anyOperationsAborted != nullptr) {
            *operation.anyOperationsAborted = 1;
        }
        sources.clear();
        result = 0;
    }
    for (const std::u16string& source : sources) {
        if ((result = DeleteSource(source)) != 0) {
            break;
        }
    }
    posix::ForgetDirectories();  // the file layer's listings no longer hold
    if (showProgress) {
        presenter.ShellProgress(title, false);
    }
    return static_cast<int>(result);
}

LibraryHandle LoadLibraryByName(const char16_t* name) {
    if (name == nullptr || *name == 0) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    std::u16string path = name;
    if (path.find_first_of(u"\\/") == std::u16string::npos) {
        path = u"\\Windows\\" + path;  // a bare name is looked up in the system directory
    }
    void* library = dlopen(DevicePathToHost(path.c_str()).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        t_lastError = kErrorModNotFound;
    }
    return library;
}

void* FindExport(LibraryHandle library, const char* name) {
    if (library == nullptr || name == nullptr) {
        t_lastError = kErrorInvalidHandle;
        return nullptr;
    }
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        t_lastError = kErrorProcNotFound;
    }
    return symbol;
}

void ExitProcess(int status) {
    posix::RecordExitStatus(status);
    std::exit(status);
}

}  // namespace platform
