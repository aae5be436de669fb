// POSIX side of the file services: device paths resolved under the device image directory.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
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

bool EqualsIgnoringAsciiCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size(); ++i) {
        if (b[i] == 0) {
            return false;
        }
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) {
            return false;
        }
    }
    return b[i] == 0;
}

// Finds the entry of `dir` whose name equals `name` without regard to case. The exact name wins;
// among other spellings the first in byte order is taken so that the choice is stable.
bool ScanIgnoringCase(const std::string& dir, const std::string& name, std::string& found);

bool FindIgnoringCase(const std::string& dir, const std::string& name, std::string& found) {
    struct stat st;
    if (lstat((dir + "/" + name).c_str(), &st) == 0) {
        found = name;
        return true;
    }
    return ScanIgnoringCase(dir, name, found);
}

// The directory scan of FindIgnoringCase, for when the exact name is known to be missing.
bool ScanIgnoringCase(const std::string& dir, const std::string& name, std::string& found) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return false;
    }
    bool any = false;
    while (const dirent* e = readdir(d)) {
        if (EqualsIgnoringAsciiCase(name, e->d_name) && (!any || found > e->d_name)) {
            found = e->d_name;
            any = true;
        }
    }
    closedir(d);
    return any;
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
        ScanIgnoringCase(spelt.substr(0, slash), pieces.back(), last);
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
    std::FILE* stream = std::fopen(DevicePathToHost(path).c_str(), m.c_str());
    struct stat st;
    if (stream != nullptr && (fstat(fileno(stream), &st) != 0 || S_ISDIR(st.st_mode))) {
        std::fclose(stream);  // Windows refuses to open a directory as a stream; so do we.
        errno = EISDIR;
        return nullptr;
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
    return mkdir(DevicePathToHost(path).c_str(), 0755) == 0;
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

bool RenameReplacing(const char16_t* from, const char16_t* to) {
    if (from == nullptr || to == nullptr) {
        return false;
    }
    return std::rename(DevicePathToHost(from).c_str(), DevicePathToHost(to).c_str()) == 0;
}

bool RemoveFile(const char16_t* path) {
    if (path == nullptr) {
        return false;
    }
    return unlink(DevicePathToHost(path).c_str()) == 0;
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
