// POSIX side of the file services: device paths resolved under the device image directory.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file.h"
#include "platform/posix/fault.h"
#include "platform/utf.h"

namespace platform {
namespace {

std::string& RootStorage() {
    static std::string root = "device";
    return root;
}

std::string Folded(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

// Finds the entry of `dir` whose name equals `name` without regard to case, by reading the
// directory. Among several spellings the first in byte order is taken, so the choice is stable.
bool ScanIgnoringCase(const std::string& dir, const std::string& name, std::string& found) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return false;
    }
    const std::string wanted = Folded(name);
    bool any = false;
    while (const dirent* e = readdir(d)) {
        if (Folded(e->d_name) == wanted && (!any || found > e->d_name)) {
            found = e->d_name;
            any = true;
        }
    }
    closedir(d);
    return any;
}

// Directories this process created, with every name it has put into them (folded -> actual).
// Their listing starts empty and follows each change made through this file layer, so unpacking
// many files into a new tree does not read a growing directory again for every file. Other
// directories are read each time. A listing belongs to one directory object (device and inode):
// a directory deleted and made again by someone else is read again.
struct Listing {
    dev_t device;
    ino_t inode;
    std::unordered_map<std::string, std::string> names;
};
std::mutex g_listingsMutex;
std::unordered_map<std::string, Listing> g_listings;
constexpr std::size_t kMaxListings = 65536;

// The actual name of `name` in `dir` (whose lstat is `dirStat`) when the exact name is known to be
// missing.
bool MatchIgnoringCase(const std::string& dir, const struct stat& dirStat, const std::string& name,
                       std::string& found) {
    {
        std::lock_guard<std::mutex> lock(g_listingsMutex);
        const auto it = g_listings.find(dir);
        if (it != g_listings.end() && it->second.device == dirStat.st_dev &&
            it->second.inode == dirStat.st_ino) {
            const auto match = it->second.names.find(Folded(name));
            if (match == it->second.names.end()) {
                return false;
            }
            found = match->second;
            return true;
        }
    }
    return ScanIgnoringCase(dir, name, found);
}

bool FindIgnoringCase(const std::string& dir, const std::string& name, std::string& found) {
    struct stat st;
    if (lstat((dir + "/" + name).c_str(), &st) == 0) {
        found = name;
        return true;
    }
    return lstat(dir.c_str(), &st) == 0 && MatchIgnoringCase(dir, st, name, found);
}

void SplitHostPath(const std::string& host, std::string& dir, std::string& name) {
    const std::size_t slash = host.rfind('/');
    dir = slash == 0 ? std::string("/") : host.substr(0, slash);
    name = host.substr(slash + 1);
}

// Records that this process put `host` into its directory (and, for a new directory, that the
// directory itself starts empty).
void NoteAdded(const std::string& host, bool isNewDirectory) {
    std::string dir, name;
    SplitHostPath(host, dir, name);
    struct stat st;
    const bool listNew = isNewDirectory && lstat(host.c_str(), &st) == 0;
    std::lock_guard<std::mutex> lock(g_listingsMutex);
    const auto it = g_listings.find(dir);
    if (it != g_listings.end()) {
        it->second.names.try_emplace(Folded(name), name);
    }
    if (listNew) {
        if (g_listings.size() >= kMaxListings) {
            g_listings.clear();
        }
        g_listings.insert_or_assign(host, Listing{st.st_dev, st.st_ino, {}});
    }
}

// Records that this process removed `host` from its directory.
void NoteRemoved(const std::string& host) {
    std::string dir, name;
    SplitHostPath(host, dir, name);
    std::lock_guard<std::mutex> lock(g_listingsMutex);
    const auto it = g_listings.find(dir);
    if (it != g_listings.end()) {
        const auto match = it->second.names.find(Folded(name));
        if (match != it->second.names.end() && match->second == name) {
            it->second.names.erase(match);
        }
    }
}

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

// An absolute host path with "." and ".." levels resolved by name (links are not followed).
std::string Lexical(const std::string& absolute) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : absolute + "/") {
        if (c == '/') {
            AddPiece(pieces, piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    std::string out;
    for (const std::string& p : pieces) {
        out += "/" + p;
    }
    return out.empty() ? std::string("/") : out;
}

}  // namespace

void SetDeviceRoot(const std::string& hostDirectory) {
    std::string root = hostDirectory;
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    RootStorage() = root.empty() ? std::string(".") : root;
}

const std::string& DeviceRoot() {
    return RootStorage();
}

std::string DevicePathToHost(const char16_t* path) {
    const std::string text = Utf16ToUtf8(path);
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c == '\\' || c == '/') {
            AddPiece(pieces, piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    AddPiece(pieces, piece);

    std::string host = RootStorage() == "/" ? std::string() : RootStorage();
    // Most paths are spelt as they are stored, or name a new file in a directory that is: one
    // lstat settles those, and only the rest are matched level by level.
    std::string spelt = host;
    for (const std::string& p : pieces) {
        spelt += "/";
        spelt += p;
    }
    struct stat st;
    if (!pieces.empty() && lstat(spelt.c_str(), &st) == 0) {
        return spelt;
    }
    // A new name in a directory spelt as stored: only the last level needs matching.
    const std::size_t slash = spelt.rfind('/');
    if (pieces.size() > 1 && lstat(spelt.substr(0, slash).c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode)) {
        std::string last = pieces.back();
        MatchIgnoringCase(spelt.substr(0, slash), st, pieces.back(), last);
        return spelt.substr(0, slash + 1) + last;
    }
    bool exists = true;  // Once a level is missing, the rest cannot exist either.
    for (const std::string& p : pieces) {
        std::string actual = p;
        if (exists && !FindIgnoringCase(host.empty() ? "/" : host, p, actual)) {
            exists = false;
            actual = p;
        }
        host += "/";
        host += actual;
    }
    return host.empty() ? std::string("/") : host;
}

bool HostPathToDevice(const std::string& hostPath, std::u16string& devicePath) {
    if (hostPath.empty()) {
        return false;
    }
    std::string absolute = hostPath;
    if (absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            return false;
        }
        absolute = std::string(cwd) + "/" + hostPath;
    }
    std::string root = RootStorage();
    if (root[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            return false;
        }
        root = std::string(cwd) + "/" + root;
    }
    // Compare resolved spellings: "ROOT/../x" lies outside the image although it starts with it.
    absolute = Lexical(absolute);
    root = Lexical(root);
    if (root != "/") {
        if (absolute.compare(0, root.size(), root) != 0 ||
            (absolute.size() > root.size() && absolute[root.size()] != '/')) {
            return false;
        }
        absolute.erase(0, root.size());
    }
    std::string device;
    for (char c : absolute) {
        if (c == '\\') {
            return false;  // A host name with a backslash has no device spelling.
        }
        device += (c == '/') ? '\\' : c;
    }
    if (device.empty() || device[0] != '\\') {
        device.insert(device.begin(), '\\');
    }
    devicePath = Utf8ToUtf16(device);
    return true;
}

std::FILE* OpenStream(const char16_t* path, const char16_t* mode) {
    if (path == nullptr || mode == nullptr) {
        return nullptr;
    }
    const std::string m = Utf16ToUtf8(mode);
    if (m != "rb" && m != "wb") {
        return nullptr;
    }
    const std::string host = DevicePathToHost(path);
    std::FILE* stream = std::fopen(host.c_str(), m.c_str());
    struct stat st;
    if (stream != nullptr && (fstat(fileno(stream), &st) != 0 || S_ISDIR(st.st_mode))) {
        std::fclose(stream);  // Windows refuses to open a directory as a stream; so do we.
        errno = EISDIR;
        return nullptr;
    }
    if (stream != nullptr && m == "wb") {
        NoteAdded(host, false);
    }
    return stream;
}

std::size_t WriteStream(std::FILE* stream, const void* data, std::size_t count) {
    if (!fault::BeforeWrite()) {
        return 0;
    }
    return std::fwrite(data, 1, count, stream);
}

uint32_t GetAttributes(const char16_t* path) {
    if (path == nullptr) {
        return kInvalidFileAttributes;
    }
    struct stat st;
    if (stat(DevicePathToHost(path).c_str(), &st) != 0) {
        return kInvalidFileAttributes;
    }
    return S_ISDIR(st.st_mode) ? kAttributeDirectory : kAttributeNormal;
}

bool CreateDir(const char16_t* path) {
    if (path == nullptr) {
        return false;
    }
    const std::string host = DevicePathToHost(path);
    if (mkdir(host.c_str(), 0755) != 0) {
        return false;
    }
    NoteAdded(host, true);
    return true;
}

bool CopyFileTo(const char16_t* from, const char16_t* to, bool failIfExists) {
    if (from == nullptr || to == nullptr) {
        return false;
    }
    const std::string src = DevicePathToHost(from);
    const std::string dst = DevicePathToHost(to);
    const int in = open(src.c_str(), O_RDONLY);
    if (in < 0) {
        return false;
    }
    const int flags = O_WRONLY | O_CREAT | (failIfExists ? O_EXCL : O_TRUNC);
    const int out = open(dst.c_str(), flags, 0644);
    if (out < 0) {
        close(in);
        return false;
    }
    NoteAdded(dst, false);
    bool ok = true;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        if (!fault::BeforeWrite() || write(out, buffer.data(), static_cast<std::size_t>(n)) != n) {
            ok = false;
            break;
        }
    }
    close(in);
    if (close(out) != 0) {
        ok = false;
    }
    return ok;
}

bool CommitStream(std::FILE* stream) {
    return stream != nullptr && std::fflush(stream) == 0 && fsync(fileno(stream)) == 0;
}

bool RenameReplacing(const char16_t* from, const char16_t* to) {
    if (from == nullptr || to == nullptr) {
        return false;
    }
    const std::string source = DevicePathToHost(from);
    const std::string target = DevicePathToHost(to);
    if (std::rename(source.c_str(), target.c_str()) != 0) {
        return false;
    }
    NoteRemoved(source);
    NoteAdded(target, false);
    return true;
}

bool RemoveFile(const char16_t* path) {
    if (path == nullptr) {
        return false;
    }
    const std::string host = DevicePathToHost(path);
    if (unlink(host.c_str()) != 0) {
        return false;
    }
    NoteRemoved(host);
    return true;
}

int MultiByteToWide(const char* src, int srcLength, char16_t* dst, int dstCapacity) {
    if (src == nullptr || srcLength < -1 || dstCapacity < 0) {
        return 0;
    }
    const std::size_t n =
        srcLength == -1 ? std::strlen(src) + 1 : static_cast<std::size_t>(srcLength);
    const std::u16string wide = Utf8ToUtf16(std::string_view(src, n));
    if (wide.empty()) {
        return 0;
    }
    if (dstCapacity == 0) {
        return static_cast<int>(wide.size());
    }
    if (dst == nullptr || wide.size() > static_cast<std::size_t>(dstCapacity)) {
        return 0;
    }
    std::memcpy(dst, wide.data(), wide.size() * sizeof(char16_t));
    return static_cast<int>(wide.size());
}

int WideToMultiByte(const char16_t* src, int srcLength, char* dst, int dstCapacity) {
    if (src == nullptr || srcLength < -1 || dstCapacity < 0) {
        return 0;
    }
    const std::size_t n =
        srcLength == -1 ? U16Length(src) + 1 : static_cast<std::size_t>(srcLength);
    const std::string narrow = Utf16ToUtf8(std::u16string_view(src, n));
    if (narrow.empty()) {
        return 0;
    }
    if (dstCapacity == 0) {
        return static_cast<int>(narrow.size());
    }
    if (dst == nullptr || narrow.size() > static_cast<std::size_t>(dstCapacity)) {
        return 0;
    }
    std::memcpy(dst, narrow.data(), narrow.size());
    return static_cast<int>(narrow.size());
}

}  // namespace platform
