// POSIX side of the file services: device paths resolved under the device image directory, or
// host paths used as the OS resolves them (see file.h for both modes).
//
// Below a guarded directory (the device image, or the link-free directory of a tool) every level
// is opened with O_NOFOLLOW relative to its parent's descriptor, so no link on the way is ever
// followed, and the final name is used with the *at calls relative to the last level. Open
// directories and the names each one holds are kept for the run: a lookup costs no directory read
// once the directory has been read, and creating a file costs a fixed number of system calls.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/posix/file_index.h"
#include "platform/text.h"

namespace platform {
namespace {

// The reason of the last failure on this thread: an errno value, and a text that names the object
// when the errno alone would mislead (a refused link).
thread_local int t_error = 0;
thread_local std::string t_errorText;

bool Fail(int code, std::string text = std::string()) {
    t_error = code;
    t_errorText = std::move(text);
    errno = code;
    return false;
}

bool FailFromErrno() {
    return Fail(errno);
}

// Directories are kept open only to name things relative to them; a directory that may be
// searched but not read still serves (reading its names opens it once more).
#ifdef O_PATH
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// An open directory below the guarded base, reached without following a link.
struct Dir {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    ~Dir() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// The names one directory holds, as hashes of their folded forms (FNV-1a) in a flat
// open-addressing table: 4 bytes a slot whatever the names' length, so a folder of 65,535 names at
// the length limit stays near a megabyte. A hash that is missing means that no spelling of the
// name is there; one that is found is confirmed on the disk (Spell). Each name listed or added
// takes a slot of its own, even when its hash is there already, so removing one slot for a
// removed name never hides another name of the same hash.
class Index {
  public:
    dev_t device = 0;
    ino_t inode = 0;

    // Adds a slot for `name`; true (it counts toward the names kept).
    bool Add(std::string_view name) {
        Spelled(name);
        if (4 * (used_ + 1) > 3 * slots_.size()) {
            Rebuild();
        }
        Put(Hash(name));
        ++live_;
        ++used_;
        return true;
    }

    void Remove(std::string_view name) {
        Unspelled(name);
        if (const std::size_t slot = Find(Hash(name)); slot != kAbsent) {
            slots_[slot] = kRemoved;
            --live_;
        }
    }

    // Whether a name that folds like `name` may be there.
    bool MayHold(std::string_view name) const { return Find(Hash(name)) != kAbsent; }

    // Once a name was looked for in another letter case than stored, the directory's spellings
    // that hold capitals by folded name (the first in byte order of each), kept up to date from
    // then on: a directory whose names are asked for in other cases is listed once more, not per
    // lookup. A name in small letters is found as its folded form, so it takes no memory here.
    std::unordered_map<std::string, std::string> spellings;
    bool spelled = false;
    void Spelled(std::string_view name) {
        if (spelled && name != Folded(name)) {
            std::string& best = spellings[Folded(name)];
            if (best.empty() || name < best) {
                best = name;
            }
        }
    }
    void Unspelled(std::string_view name) {
        if (const auto it = spellings.find(Folded(name));
            it != spellings.end() && it->second == name) {
            spellings.erase(it);  // (a host may hold another spelling of it: not on the device)
        }
    }
    static std::string Folded(std::string_view name) {
        std::string folded(name);
        for (char& c : folded) {
            c = FoldAscii(c);
        }
        return folded;
    }

  private:
    static constexpr uint32_t kFree = 0;
    static constexpr uint32_t kRemoved = 1;  // else the hash, moved above both
    static constexpr std::size_t kAbsent = SIZE_MAX;

    static uint32_t Hash(std::string_view name) {
        uint32_t hash = 2166136261u;
        for (const char c : name) {
            hash = (hash ^ static_cast<uint8_t>(FoldAscii(c))) * 16777619u;
        }
        return hash > kRemoved ? hash : hash + 2;
    }

    std::size_t Find(uint32_t hash) const {
        for (std::size_t slot = slots_.empty() ? 0 : hash & (slots_.size() - 1);
             !slots_.empty() && slots_[slot] != kFree; slot = (slot + 1) & (slots_.size() - 1)) {
            if (slots_[slot] == hash) {
                return slot;
            }
        }
        return kAbsent;
    }

    // Gives `hash` a free slot (there is one: the table is never full).
    void Put(uint32_t hash) {
        std::size_t slot = hash & (slots_.size() - 1);
        while (slots_[slot] != kFree) {
            slot = (slot + 1) & (slots_.size() - 1);
        }
        slots_[slot] = hash;
    }

    // Rebuilt without the removed slots, at most half full, so the table never fills.
    void Rebuild() {
        std::vector<uint32_t> old;
        std::swap(old, slots_);
        slots_.assign(std::max<std::size_t>(16, std::bit_ceil(2 * (live_ + 1))), kFree);
        for (const uint32_t hash : old) {
            if (hash > kRemoved) {
                Put(hash);
            }
        }
        used_ = live_;
    }

    std::vector<uint32_t> slots_;
    std::size_t live_ = 0;
    std::size_t used_ = 0;  // live and removed slots
};

// The parent directory of the last path located, so that a run of names in one folder is resolved
// without walking down from the base again.
struct LastParent {
    std::u16string prefix;  // the device path up to and including its last separator
    std::shared_ptr<Dir> dir;
    std::string key;
    std::string host;
};

constexpr std::size_t kMaxOpenDirs = 64;
// Names kept across all indexes before they are forgotten for a new one: about a megabyte.
constexpr std::size_t kMaxIndexedNames = std::size_t{1} << 17;
// Directories indexed before they are all forgotten for a new one (a tree of tens of thousands of
// folders would otherwise keep an index, and its path, for each).
constexpr std::size_t kMaxIndexes = 1024;

}  // namespace

// Everything a file system remembers, guarded by `mutex`. Keys of `dirs` and `indexes` are paths
// relative to the guarded base, levels joined by `/` in their stored spelling ("" is the base).
struct FileSystem::State {
    std::mutex mutex;
    std::string root = "/";
    bool exact = true;
    uint32_t codePage = kDefaultCodePage;
    bool hasLinkFree = false;
    std::vector<std::string> linkFree;  // levels of the link-free directory (exact host paths)
    std::unordered_map<std::string, std::shared_ptr<Dir>> dirs;
    std::unordered_map<std::string, Index> indexes;
    LastParent lastParent;
    uint64_t listings = 0;
    std::size_t indexedNames = 0;
};

namespace {

// The bound file system's state; only called below a public call that checked the binding.
FileSystem::State& S() {
    return BoundFiles()->state();
}

// The public calls' first step: false (ENXIO) on a thread bound to no file system.
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

// An empty index for the directory `key`, after forgetting every other once they hold too many
// names.
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

// The stored spelling of `name` in the directory `key`: the exact spelling when present, else the
// first in byte order of those equal without regard to case, else `name` itself (a new entry).
// The index only tells which names cannot be there; the rest is asked of the disk: the exact
// spelling first, then, for a name stored in another case (or sharing its hash), the spellings
// of the directory, listed once more the first time and kept from then on.
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

// A path split into levels, and where its guarded part starts.
struct Levels {
    std::string baseHost;             // host path of the guarded base (guarded paths only)
    std::vector<std::string> pieces;  // below the base (guarded) or the whole path (not guarded)
    bool guarded = false;
};

// Adds one level of a device path. "." stays and ".." goes up, never above the device's `\`,
// so no device path names a file outside the image.
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

// Where one path leads: a name in an open directory, or (not guarded, or the base itself) a host
// path used from the current directory.
struct Located {
    std::shared_ptr<Dir> parent;
    std::string parentKey;
    std::string leaf;
    std::string host;
    bool guarded = false;

    int DirFd() const { return parent ? parent->fd : AT_FDCWD; }
    const char* Name() const { return parent ? leaf.c_str() : host.c_str(); }
};

bool FailOnLink(int dirFd, const std::string& name, const std::string& host) {
    const int code = errno;
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        return Fail(ELOOP, "refusing the symbolic link " + host);
    }
    return Fail(code);
}

// Opens the guarded levels [0, count) of `levels`, in their stored spelling. `host` receives the
// host path of the last level reached, `reached` how many levels were opened.
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

// Resolves `path` for one operation. False (with the reason kept) when a level on the way is
// missing, a link, or no directory.
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

// A directory kept open may have been deleted by other means (the shell's delete): then every
// call through it fails with ENOENT. Forgets what was kept and says whether to try again.
bool RetryAfterStaleDirectory(const Located& at) {
    struct stat st;
    if (errno != ENOENT || !at.parent || fstat(at.parent->fd, &st) != 0 || st.st_nlink > 0) {
        return false;
    }
    ForgetLocked();
    return true;
}

// Opens the regular file at `at` without blocking on a FIFO or device and without following a
// final link where links are guarded. A file opened for writing is emptied.
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

// Runs `call` on the located path, once more after forgetting a stale kept directory.
template <typename Call>
bool WithLocated(const char16_t* path, Located& at, Call call) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!Locate(path, at)) {
            return false;
        }
        if (call(at)) {
            return true;
        }
        const int code = errno;
        if (attempt > 0 || !RetryAfterStaleDirectory(at)) {
            errno = code;
            return false;
        }
    }
    return false;
}

// One system call on a located path, 0 for success (once more after a stale kept directory);
// false with the reason kept when the path is null or missing or the call fails.
template <typename Call>
bool CallAt(const char16_t* path, Located& at, Call call) {
    if (path == nullptr) {
        return Fail(EINVAL);
    }
    return WithLocated(path, at, [&](const Located& l) { return call(l) == 0 || FailFromErrno(); });
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

}  // namespace

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

namespace {

// The counting rules of MultiByteToWideChar / WideCharToMultiByte around `convert`: a source
// length of -1 takes the terminator along; capacity 0 asks for the size; too small a
// destination, or a source that converts to nothing, gives 0.
template <typename From, typename To, typename Convert>
int ConvertCounted(const From* src, int srcLength, To* dst, int dstCapacity, Convert convert) {
    if (src == nullptr || srcLength < -1 || dstCapacity < 0) {
        return 0;
    }
    const std::size_t n = srcLength == -1 ? std::char_traits<From>::length(src) + 1
                                          : static_cast<std::size_t>(srcLength);
    const std::basic_string<To> converted = convert(std::basic_string_view<From>(src, n));
    if (converted.empty()) {
        return 0;
    }
    if (dstCapacity == 0) {
        return static_cast<int>(converted.size());
    }
    if (dst == nullptr || converted.size() > static_cast<std::size_t>(dstCapacity)) {
        return 0;
    }
    std::memcpy(dst, converted.data(), converted.size() * sizeof(To));
    return static_cast<int>(converted.size());
}

// iconv's name of a code page.
std::string IconvName(uint32_t codePage) {
    return codePage == 65001 ? "UTF-8" : "CP" + std::to_string(codePage);
}

// char16_t text in this machine's byte order.
constexpr const char* kIconvUtf16 =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

uint32_t BoundCodePage() {
    const FileSystem* files = BoundFiles();
    return files != nullptr ? files->CodePage() : kDefaultCodePage;
}

// One conversion through iconv. A sequence iconv refuses (an undefined byte, a character the
// target cannot hold, a cut sequence at the end) fails the whole conversion when `replacement`
// is empty; otherwise `replacement` stands for it and the conversion goes on after `skip` bytes.
template <typename To>
bool Iconv(const char* to, const char* from, const char* in, std::size_t inBytes,
           std::basic_string<To>& out, std::basic_string_view<To> replacement, std::size_t skip) {
    out.clear();
    const iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    char* source = const_cast<char*>(in);
    std::size_t left = inBytes;
    bool ok = true;
    std::vector<char> buffer(256);
    // A converter may hold a character back (CP1258 waits for a combining mark after a letter):
    // this takes what it holds and returns it to its initial state.
    const auto flush = [&] {
        char* target = buffer.data();
        std::size_t room = buffer.size();
        if (iconv(cd, nullptr, nullptr, &target, &room) != static_cast<std::size_t>(-1)) {
            out.append(reinterpret_cast<const To*>(buffer.data()),
                       static_cast<std::size_t>(target - buffer.data()) / sizeof(To));
        }
    };
    while (left > 0) {
        char* target = buffer.data();
        std::size_t room = buffer.size();
        const std::size_t done = iconv(cd, &source, &left, &target, &room);
        const int code = errno;
        out.append(reinterpret_cast<const To*>(buffer.data()),
                   static_cast<std::size_t>(target - buffer.data()) / sizeof(To));
        if (done != static_cast<std::size_t>(-1)) {
            break;
        }
        if (code == E2BIG) {
            continue;
        }
        if (replacement.empty()) {
            ok = false;
            break;
        }
        flush();
        out += replacement;
        const std::size_t step = std::min(skip, left);
        source += step;
        left -= step;
    }
    if (ok) {
        flush();
    }
    iconv_close(cd);
    return ok;
}

std::u16string NarrowToUtf16(std::string_view text) {
    const uint32_t codePage = BoundCodePage();
    if (codePage == 65001) {
        return Utf8ToUtf16(text);
    }
    std::u16string out;
    Iconv<char16_t>(kIconvUtf16, IconvName(codePage).c_str(), text.data(), text.size(), out,
                    u"\uFFFD", 1);
    return out;
}

std::string Utf16ToNarrow(std::u16string_view text) {
    const uint32_t codePage = BoundCodePage();
    if (codePage == 65001) {
        return Utf16ToUtf8(text);
    }
    std::string out;
    Iconv<char>(IconvName(codePage).c_str(), kIconvUtf16,
                reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t), out,
                "?", sizeof(char16_t));
    return out;
}

}  // namespace

bool CodePageAvailable(uint32_t codePage) {
    if (codePage == kSystemCodePage) {
        return false;
    }
    if (codePage == 65001) {
        return true;
    }
    const iconv_t cd = iconv_open(kIconvUtf16, IconvName(codePage).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    iconv_close(cd);
    return true;
}

// UTF-16 without an unpaired surrogate: text that UTF-8 holds exactly.
bool IsWholeUtf16(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
            text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;
        } else if (text[i] >= 0xD800 && text[i] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

bool EncodeStrictly(std::u16string_view text, std::string& narrow) {
    // The default code page converts without iconv, which a system may lack the modules of.
    if (BoundCodePage() == 65001) {
        narrow = Utf16ToUtf8(text);
        return IsWholeUtf16(text);
    }
    return Iconv<char>(IconvName(BoundCodePage()).c_str(), kIconvUtf16,
                       reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t),
                       narrow, {}, 0);
}

bool FromCodePage(std::string_view narrow, std::u16string& text) {
    if (BoundCodePage() == 65001) {
        text = Utf8ToUtf16(narrow);
        return IsUtf8(narrow);
    }
    return Iconv<char16_t>(kIconvUtf16, IconvName(BoundCodePage()).c_str(), narrow.data(),
                           narrow.size(), text, {}, 0);
}

int MultiByteToWide(const char* src, int srcLength, char16_t* dst, int dstCapacity) {
    return ConvertCounted(src, srcLength, dst, dstCapacity, NarrowToUtf16);
}

int WideToMultiByte(const char16_t* src, int srcLength, char* dst, int dstCapacity) {
    return ConvertCounted(src, srcLength, dst, dstCapacity, Utf16ToNarrow);
}

}  // namespace platform
