// POSIX side of the file services: device paths resolved under the device image directory, or
// host paths used as the OS resolves them (see file.h for both modes).
//
// Below a guarded directory (the device image, or the link-free directory of a tool) every level
// is opened with O_NOFOLLOW relative to its parent's descriptor, so no link on the way is ever
// followed, and the final name is used with the *at calls relative to the last level. Open
// directories and the names each one holds are kept for the run: a lookup costs no directory read
// once the directory has been read, and creating a file costs a fixed number of system calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/posix/file_state.h"
#include "platform/text.h"

namespace platform {
namespace {

// The reason of the last failure on this thread: an errno value, and a text that names the object
// when the errno alone would mislead (a refused link).
thread_local int t_error = 0;
thread_local std::string t_errorText;

}  // namespace

bool Fail(int code, std::string text) {
    t_error = code;
    t_errorText = std::move(text);
    errno = code;
    return false;
}

bool FailFromErrno() {
    return Fail(errno);
}

FileSystem::FileSystem(std::unique_ptr<State> state) : state_(std::move(state)) {}

FileSystem::~FileSystem() = default;

std::unique_ptr<FileSystem> FileSystem::DeviceImage(const std::string& hostDirectory,
                                                    uint32_t codePage) {
    auto state = std::make_unique<State>();
    state->codePage = codePage;
    std::string root = hostDirectory;
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    state->root = root.empty() ? std::string(".") : root;
    state->exact = false;
    return std::unique_ptr<FileSystem>(new FileSystem(std::move(state)));
}

std::unique_ptr<FileSystem> FileSystem::HostPaths(const char16_t* linkFree, uint32_t codePage) {
    auto state = std::make_unique<State>();
    state->codePage = codePage;
    state->hasLinkFree = linkFree != nullptr && *linkFree != 0;
    if (state->hasLinkFree) {
        state->linkFree = RawPieces(Utf16ToUtf8(linkFree), true);
    }
    return std::unique_ptr<FileSystem>(new FileSystem(std::move(state)));
}

const std::string& FileSystem::Root() const {
    return state_->root;
}

bool FileSystem::ExactHostPaths() const {
    return state_->exact;
}

uint32_t FileSystem::CodePage() const {
    return state_->codePage;
}

void ResetFileError() {
    t_error = 0;
    t_errorText.clear();
}

std::string LastFileError() {
    if (!t_errorText.empty()) {
        return t_errorText;
    }
    return t_error != 0 ? std::string(std::strerror(t_error)) : std::string();
}

std::string ErrorText(const std::error_code& code) {
    return code.message();
}

std::string DevicePathToHost(const char16_t* path) {
    if (path == nullptr || !Bound()) {
        return std::string();
    }
    std::lock_guard<std::mutex> lock(S().mutex);
    const Levels levels = Split(path);
    if (!levels.guarded) {
        return JoinHost(RootPrefix(), levels.pieces, 0, levels.pieces.size());
    }
    if (std::find(levels.pieces.begin(), levels.pieces.end(), "..") != levels.pieces.end()) {
        return JoinHost(levels.baseHost, levels.pieces, 0, levels.pieces.size());
    }
    // As far as the levels exist, their stored spelling; below, the names as given.
    const int savedErrno = errno;
    const int savedError = t_error;
    const std::string savedText = t_errorText;
    std::string key, host;
    std::size_t reached = 0;
    const std::size_t last = levels.pieces.empty() ? 0 : levels.pieces.size() - 1;
    const std::shared_ptr<Dir> parent = Walk(levels, last, key, host, reached);
    if (!levels.pieces.empty() && parent) {
        host += (host == "/" ? "" : "/") + Spell(key, *parent, levels.pieces[last]);
    } else if (!levels.pieces.empty()) {
        host = JoinHost(host, levels.pieces, reached, levels.pieces.size());
    }
    errno = savedErrno;
    t_error = savedError;
    t_errorText = savedText;
    return host;
}

bool HostPathToDevice(const std::string& hostPath, std::u16string& devicePath) {
    if (hostPath.empty() || !Bound()) {
        return false;
    }
    std::string absolute = hostPath;
    std::string root = BoundFiles()->Root();
    char cwd[PATH_MAX];
    if ((absolute[0] != '/' || root[0] != '/') && getcwd(cwd, sizeof cwd) == nullptr) {
        return false;
    }
    if (absolute[0] != '/') {
        absolute = std::string(cwd) + "/" + hostPath;
    }
    if (root[0] != '/') {
        root = std::string(cwd) + "/" + root;
    }
    // Device-image paths compare resolved spellings ("ROOT/../x" lies outside the image although
    // it starts with it); exact host paths keep `..` for the OS, and may not climb out of the root.
    std::vector<std::string> pieces, rootPieces;
    if (BoundFiles()->ExactHostPaths()) {
        pieces = RawPieces(absolute, false);
        rootPieces = RawPieces(root, false);
    } else {
        for (const std::string& p : RawPieces(absolute, false)) {
            AddPiece(pieces, p);
        }
        for (const std::string& p : RawPieces(root, false)) {
            AddPiece(rootPieces, p);
        }
    }
    if (pieces.size() < rootPieces.size() ||
        !std::equal(rootPieces.begin(), rootPieces.end(), pieces.begin()) ||
        (!rootPieces.empty() &&
         std::find(pieces.begin() + static_cast<std::ptrdiff_t>(rootPieces.size()), pieces.end(),
                   "..") != pieces.end())) {
        return false;
    }
    std::string device;
    for (std::size_t i = rootPieces.size(); i < pieces.size(); ++i) {
        if (pieces[i].find('\\') != std::string::npos) {
            return false;  // A host name with a backslash has no device spelling.
        }
        device += "\\" + pieces[i];
    }
    devicePath = Utf8ToUtf16(device.empty() ? std::string("\\") : device);
    return true;
}

std::FILE* OpenStream(const char16_t* path, const char16_t* mode) {
    if (path == nullptr || mode == nullptr) {
        Fail(EINVAL);
        return nullptr;
    }
    if (!Bound()) {
        return nullptr;
    }
    const std::u16string_view m(mode);
    int flags = 0;
    if (m == u"rb") {
        flags = O_RDONLY;
    } else if (m == u"wb") {
        flags = O_WRONLY | O_CREAT;
    } else if (m == u"wbx") {
        flags = O_WRONLY | O_CREAT | O_EXCL;
    } else {
        Fail(EINVAL);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(S().mutex);
    int fd = -1;
    Located at;
    if (!WithLocated(path, at,
                     [&](const Located& l) { return (fd = OpenRegular(l, flags)) >= 0; })) {
        return nullptr;
    }
    std::FILE* stream = fdopen(fd, flags == O_RDONLY ? "rb" : "wb");
    if (stream == nullptr) {
        FailFromErrno();
        close(fd);
        return nullptr;
    }
    if (flags != O_RDONLY) {
        NoteAdded(at);
    }
    return stream;
}

std::size_t WriteStream(std::FILE* stream, const void* data, std::size_t count) {
    if (!fault::WriteAllowed()) {
        Fail(EIO);
        return 0;
    }
    const std::size_t written = std::fwrite(data, 1, count, stream);
    if (written < count) {
        FailFromErrno();
    }
    return written;
}

uint32_t GetAttributes(const char16_t* path) {
    if (path == nullptr) {
        Fail(EINVAL);
        return kInvalidFileAttributes;
    }
    if (!Bound()) {
        return kInvalidFileAttributes;
    }
    std::lock_guard<std::mutex> lock(S().mutex);
    struct stat st;
    Located at;
    if (!WithLocated(path, at, [&](const Located& l) {
            return fstatat(l.DirFd(), l.Name(), &st, l.guarded ? AT_SYMLINK_NOFOLLOW : 0) == 0 ||
                   FailFromErrno();
        })) {
        return kInvalidFileAttributes;
    }
    if (S_ISDIR(st.st_mode)) {
        return kAttributeDirectory;
    }
    if (S_ISREG(st.st_mode)) {
        return kAttributeNormal;
    }
    return S_ISLNK(st.st_mode) ? kAttributeReparsePoint : kAttributeDevice;
}

bool CreateDir(const char16_t* path) {
    if (!Bound()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(S().mutex);
    Located at;
    if (!CallAt(path, at, [](const Located& l) { return mkdirat(l.DirFd(), l.Name(), 0755); })) {
        return false;
    }
    NoteAdded(at);
    if (at.parent) {
        // The new directory holds nothing yet: its listing is known without reading it. Exact
        // host paths match no names, so they keep none.
        const std::string key = JoinKey(at.parentKey, at.leaf);
        const int fd = openat(at.DirFd(), at.leaf.c_str(), kDirectoryFlags | O_NOFOLLOW);
        if (fd >= 0) {
            if (const auto dir = Remember(key, fd); dir && !S().exact) {
                NewIndex(key, *dir);
            }
        }
    }
    return true;
}

bool CommitStream(std::FILE* stream) {
    if (stream == nullptr) {
        return Fail(EINVAL);
    }
    return (std::fflush(stream) == 0 && fsync(fileno(stream)) == 0) || FailFromErrno();
}

bool RenameReplacing(const char16_t* from, const char16_t* to) {
    if (from == nullptr || to == nullptr) {
        return Fail(EINVAL);
    }
    if (!Bound()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(S().mutex);
    Located source, target;
    // Where links are guarded, neither end may be one, nor anything but a file or directory.
    const auto plain = [](const Located& l, bool mustExist) {
        struct stat st;
        if (!l.guarded) {
            return true;
        }
        if (fstatat(l.DirFd(), l.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return (errno == ENOENT && !mustExist) || FailFromErrno();
        }
        if (S_ISLNK(st.st_mode)) {
            return Fail(ELOOP, "refusing the symbolic link " + l.host);
        }
        return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) ||
               Fail(EPERM, "refusing " + l.host + ": not a regular file");
    };
    if (!WithLocated(from, source, [&](const Located& l) { return plain(l, true); }) ||
        !WithLocated(to, target, [&](const Located& l) { return plain(l, false); })) {
        return false;
    }
    if (renameat(source.DirFd(), source.Name(), target.DirFd(), target.Name()) != 0) {
        return FailFromErrno();
    }
    NoteRemoved(source);
    NoteAdded(target);
    struct stat st;
    if (fstatat(target.DirFd(), target.Name(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode)) {
        ForgetLocked();  // kept directories below the old name moved with it
    }
    return true;
}

bool RemoveFile(const char16_t* path) {
    if (!Bound()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(S().mutex);
    Located at;
    if (!CallAt(path, at, [](const Located& l) { return unlinkat(l.DirFd(), l.Name(), 0); })) {
        return false;
    }
    NoteRemoved(at);
    return true;
}

}  // namespace platform
