// The device image of the tests and fuzzers: a temporary directory, the platform's file system
// bound over it, and the trees it holds read back through the host, never through the calls
// under test. No test framework here, so fuzzers use it too.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/text.h"

namespace testimage {

namespace fs = std::filesystem;

// The whole contents of a host file ("" when it cannot be read).
inline std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Replaces the file at `path` with `content`, making its parent folders first.
inline void WriteAll(const fs::path& path, std::string_view content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
}

// A new temporary directory, removed with everything in it when the object goes: in the host's
// temporary directory (TMPDIR), or on tmpfs where the host has one when `memory` is set.
class Scratch {
  public:
    explicit Scratch(bool memory = false) {
        const fs::path base =
            memory && fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
        std::random_device random;
        do {
            path_ = base / ("qzp-test-" + std::to_string(random()));
        } while (!fs::create_directory(path_));
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

// A fresh view of the device image at `root` (the native file system when empty), bound to this
// thread while it lives. A view does not see changes made behind its back to a folder it has
// read, so lay files out before the first call that reads their folder, or take a new view.
class Bound {
  public:
    explicit Bound(const fs::path& root)
        : files_(platform::FileSystem::DeviceImage(root.string())), bound_(*files_) {}

  private:
    std::unique_ptr<platform::FileSystem> files_;
    platform::UseFiles bound_;
};

// Lower-cased relative path ('/' between levels) -> content, for everything under a directory:
// folders end in '/' and hold "", links read "link to TARGET" and are not followed, and other
// special files are never opened (a FIFO could block). The device's file system ignores case.
using Tree = std::map<std::string, std::string>;

inline Tree TreeOf(const fs::path& directory) {
    Tree tree;
    if (!fs::exists(directory)) {
        return tree;
    }
    for (const auto& e : fs::recursive_directory_iterator(directory)) {
        const std::string name =
            platform::FoldedAscii(e.path().lexically_relative(directory).generic_string());
        if (e.is_symlink()) {
            tree[name] = "link to " + fs::read_symlink(e.path()).string();
        } else if (e.is_directory()) {
            tree[name + "/"] = "";
        } else {
            tree[name] = e.is_regular_file() ? ReadAll(e.path()) : "special file";
        }
    }
    return tree;
}

// Names missing, unexpected or with other content, for a failure message ("" when equal).
inline std::string TreeDifference(const Tree& expected, const Tree& actual) {
    std::string text;
    for (const auto& [name, content] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end()) {
            text += "  missing: " + name + "\n";
        } else if (found->second != content) {
            text += "  other content (" + std::to_string(found->second.size()) + " bytes, " +
                    std::to_string(content.size()) + " expected): " + name + "\n";
        }
    }
    for (const auto& [name, content] : actual) {
        if (expected.count(name) == 0)
            text += "  unexpected: " + name + "\n";
    }
    return text;
}

// The path extracting stored name `name` writes to, as TreeOf names it: `\` or `/` between
// levels, empty levels skipped, letters folded.
inline std::string ExtractedPath(const std::string& name) {
    std::string path;
    for (size_t from = 0, to = 0; from <= name.size(); from = to + 1) {
        to = std::min(name.find_first_of("\\/", from), name.size());
        if (to > from) {
            path += (path.empty() ? "" : "/") + platform::FoldedAscii(name.substr(from, to - from));
        }
    }
    return path;
}

// Puts what extracting stored name `name` leaves into `tree`: every parent folder, and the entry.
// Each replaces a file or folder of its path.
inline void PutExtracted(Tree& tree, const std::string& name, bool directory,
                         const std::string& content) {
    const std::string path = ExtractedPath(name);
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        tree.erase(path.substr(0, slash));
        tree[path.substr(0, slash + 1)] = "";
    }
    if (!path.empty()) {
        tree.erase(directory ? path : path + "/");
        tree[directory ? path + "/" : path] = directory ? "" : content;
    }
}

}  // namespace testimage
