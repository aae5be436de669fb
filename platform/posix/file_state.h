// What the parts of the POSIX file layer share: the bound file system's state with its open
// directories and name indexes (name_index_posix.cpp), the resolution of a device path to a name
// in an open directory (path_posix.cpp), and the failure every call records. Private to the
// layer: the rest of the platform goes through platform/file.h and file_index.h.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"

namespace platform {

// Records the reason of a failure on this thread (an errno value, and a text that names the object
// when the errno alone would mislead, as a refused link) and returns false.
bool Fail(int code, std::string text = std::string());
bool FailFromErrno();

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

// The bound file system's state; only called below a public call that checked the binding.
FileSystem::State& S();

// The public calls' first step: false (ENXIO) on a thread bound to no file system.
bool Bound();

void ForgetLocked();

std::string JoinKey(const std::string& key, const std::string& name);

// An empty index for the directory `key`, after forgetting every other once they hold too many
// names.
Index& NewIndex(const std::string& key, const Dir& dir);

void IndexAdd(const std::string& key, const std::string& name);

void IndexRemove(const std::string& key, const std::string& name);

// The stored spelling of `name` in the directory `key`: the exact spelling when present, else the
// first in byte order of those equal without regard to case, else `name` itself (a new entry).
// The index only tells which names cannot be there; the rest is asked of the disk: the exact
// spelling first, then, for a name stored in another case (or sharing its hash), the spellings
// of the directory, listed once more the first time and kept from then on.
std::string Spell(const std::string& key, const Dir& dir, const std::string& name);

std::shared_ptr<Dir> Remember(const std::string& key, int fd);

// A path split into levels, and where its guarded part starts.
struct Levels {
    std::string baseHost;             // host path of the guarded base (guarded paths only)
    std::vector<std::string> pieces;  // below the base (guarded) or the whole path (not guarded)
    bool guarded = false;
};

// Adds one level of a device path. "." stays and ".." goes up, never above the device's `\`,
// so no device path names a file outside the image.
void AddPiece(std::vector<std::string>& pieces, const std::string& piece);

std::vector<std::string> RawPieces(const std::string& text, bool bothSeparators);

std::string RootPrefix();

std::string JoinHost(std::string host, const std::vector<std::string>& pieces, std::size_t from,
                     std::size_t to);

Levels Split(const char16_t* path);

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

// Opens the guarded levels [0, count) of `levels`, in their stored spelling. `host` receives the
// host path of the last level reached, `reached` how many levels were opened.
std::shared_ptr<Dir> Walk(const Levels& levels, std::size_t count, std::string& key,
                          std::string& host, std::size_t& reached);

// Resolves `path` for one operation. False (with the reason kept) when a level on the way is
// missing, a link, or no directory.
bool Locate(const char16_t* path, Located& out);

// A directory kept open may have been deleted by other means (the shell's delete): then every
// call through it fails with ENOENT. Forgets what was kept and says whether to try again.
bool RetryAfterStaleDirectory(const Located& at);

// Opens the regular file at `at` without blocking on a FIFO or device and without following a
// final link where links are guarded. A file opened for writing is emptied.
int OpenRegular(const Located& at, int flags);

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

void NoteAdded(const Located& at);

void NoteRemoved(const Located& at);

}  // namespace platform
