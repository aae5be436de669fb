// Device paths resolved below the guarded base: every level opened with O_NOFOLLOW relative to its
// parent's descriptor, in its stored spelling, starting from the parent of the last path located.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "platform/posix/file_state.h"
#include "platform/text.h"

namespace platform {

void AddPiece(std::vector<std::string>& pieces, const std::string& piece) {
    if (piece.empty() || piece == ".") {
        return;
    }
    if (piece == "..") {
        if (!pieces.empty())
            pieces.pop_back();
        return;
    }
    pieces.push_back(piece);
}

std::vector<std::string> RawPieces(const std::string& text, bool bothSeparators) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c == '/' || (bothSeparators && c == '\\')) {
            if (!piece.empty()) {
                pieces.push_back(piece);
            }
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty()) {
        pieces.push_back(piece);
    }
    return pieces;
}

std::string RootPrefix() {
    return S().root == "/" ? std::string() : S().root;
}

std::string JoinHost(std::string host, const std::vector<std::string>& pieces, std::size_t from,
                     std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        host += "/";
        host += pieces[i];
    }
    return host.empty() ? std::string("/") : host;
}

Levels Split(const char16_t* path) {
    Levels levels;
    const std::vector<std::string> raw = RawPieces(Utf16ToUtf8(path), true);
    if (!S().exact) {
        for (const std::string& p : raw) {
            AddPiece(levels.pieces, p);
        }
        levels.baseHost = S().root;
        levels.guarded = true;
        return levels;
    }
    const std::size_t n = S().linkFree.size();
    if (S().hasLinkFree && raw.size() > n &&
        std::equal(S().linkFree.begin(), S().linkFree.end(), raw.begin())) {
        levels.baseHost = JoinHost(RootPrefix(), raw, 0, n);
        levels.pieces.assign(raw.begin() + static_cast<std::ptrdiff_t>(n), raw.end());
        levels.guarded = true;
        return levels;
    }
    levels.pieces = raw;
    return levels;
}

namespace {

bool FailOnLink(int dirFd, const std::string& name, const std::string& host) {
    const int code = errno;
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        return Fail(ELOOP, "refusing the symbolic link " + host);
    }
    return Fail(code);
}

}  // namespace

std::shared_ptr<Dir> Walk(const Levels& levels, std::size_t count, std::string& key,
                          std::string& host, std::size_t& reached) {
    key.clear();
    host = levels.baseHost;
    reached = 0;
    std::shared_ptr<Dir> dir;
    const auto base = S().dirs.find(key);
    if (base != S().dirs.end()) {
        dir = base->second;
    } else {
        const int fd = open(levels.baseHost.c_str(), kDirectoryFlags);
        if (fd < 0 || !(dir = Remember(key, fd))) {
            FailFromErrno();
            return nullptr;
        }
    }
    for (; reached < count; ++reached) {
        const std::string& piece = levels.pieces[reached];
        if (piece == ".") {
            continue;
        }
        const std::string name = Spell(key, *dir, piece);
        const std::string childKey = JoinKey(key, name);
        const std::string childHost = host + (host == "/" ? "" : "/") + name;
        const auto cached = S().dirs.find(childKey);
        if (cached != S().dirs.end()) {
            dir = cached->second;
        } else {
            const int fd = openat(dir->fd, name.c_str(), kDirectoryFlags | O_NOFOLLOW);
            if (fd < 0) {
                FailOnLink(dir->fd, name, childHost);
                return nullptr;
            }
            auto child = Remember(childKey, fd);
            if (!child) {
                FailFromErrno();
                return nullptr;
            }
            dir = child;
        }
        key = childKey;
        host = childHost;
    }
    return dir;
}

bool Locate(const char16_t* path, Located& out) {
    // The last level of the path when it is a plain name: then the levels before it may be the
    // ones the previous call resolved.
    const std::u16string_view whole(path);
    const std::size_t cut = whole.find_last_of(u"\\/");
    std::string leaf;
    if (cut != std::u16string_view::npos) {
        leaf = Utf16ToUtf8(whole.substr(cut + 1));
        if (leaf == "." || leaf == "..") {
            leaf.clear();
        }
    }
    out = Located();
    if (!leaf.empty() && S().lastParent.dir && whole.substr(0, cut + 1) == S().lastParent.prefix) {
        out.parent = S().lastParent.dir;
        out.parentKey = S().lastParent.key;
        out.leaf = Spell(out.parentKey, *out.parent, leaf);
        out.host = S().lastParent.host + (S().lastParent.host == "/" ? "" : "/") + out.leaf;
        out.guarded = true;
        return true;
    }
    const Levels levels = Split(path);
    if (!levels.guarded) {
        out.host = JoinHost(RootPrefix(), levels.pieces, 0, levels.pieces.size());
        return true;
    }
    if (levels.pieces.empty()) {
        out.host = levels.baseHost;  // the base itself: the user's path, links and all
        return true;
    }
    if (std::find(levels.pieces.begin(), levels.pieces.end(), "..") != levels.pieces.end()) {
        return Fail(EACCES, "refusing " +
                                JoinHost(levels.baseHost, levels.pieces, 0, levels.pieces.size()) +
                                ": it climbs out of " + levels.baseHost);
    }
    std::size_t reached = 0;
    const std::size_t last = levels.pieces.size() - 1;
    std::string host;
    out.parent = Walk(levels, last, out.parentKey, host, reached);
    if (!out.parent) {
        return false;
    }
    const std::string& piece = levels.pieces[last];
    out.leaf = piece == "." ? std::string(".") : Spell(out.parentKey, *out.parent, piece);
    out.host = host + (host == "/" ? "" : "/") + out.leaf;
    out.guarded = true;
    if (!leaf.empty() && piece == leaf) {
        S().lastParent = {std::u16string(whole.substr(0, cut + 1)), out.parent, out.parentKey,
                          host};
    }
    return true;
}

bool RetryAfterStaleDirectory(const Located& at) {
    struct stat st;
    if (errno != ENOENT || !at.parent || fstat(at.parent->fd, &st) != 0 || st.st_nlink > 0) {
        return false;
    }
    ForgetLocked();
    return true;
}

int OpenRegular(const Located& at, int flags) {
    flags |= O_CLOEXEC | O_NONBLOCK | (at.guarded ? O_NOFOLLOW : 0);
    const int fd = openat(at.DirFd(), at.Name(), flags, 0644);
    if (fd < 0) {
        if (at.guarded && (errno == ELOOP || errno == EEXIST)) {
            FailOnLink(at.DirFd(), at.leaf, at.host);
        } else {
            FailFromErrno();
        }
        return -1;
    }
    if ((flags & O_EXCL) != 0) {
        return fd;  // made by this very call: a new, empty regular file
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        FailFromErrno();
        close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        if (S_ISDIR(st.st_mode)) {
            Fail(EISDIR);  // Windows refuses to open a directory as a stream; so do we.
        } else {
            Fail(EPERM, "refusing " + at.host + ": not a regular file");
        }
        return -1;
    }
    if ((flags & O_ACCMODE) != O_RDONLY && st.st_size > 0 && ftruncate(fd, 0) != 0) {
        FailFromErrno();
        close(fd);
        return -1;
    }
    // O_NONBLOCK stays: on a regular file reads and writes never wait for it anyway, and one
    // system call less per file counts when a package holds tens of thousands.
    return fd;
}

void NoteAdded(const Located& at) {
    if (at.parent) {
        IndexAdd(at.parentKey, at.leaf);
    }
}

void NoteRemoved(const Located& at) {
    if (at.parent) {
        IndexRemove(at.parentKey, at.leaf);
    }
}

}  // namespace platform
