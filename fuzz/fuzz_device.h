// The device image of a fuzzing run: a fresh temporary directory (on tmpfs when the host has one),
// removed when the process ends. A target changes it from the host between inputs, so each input
// opens a fresh view of it (Image): a view does not see changes made by other means to a
// directory it has read. TreeOf reads a tree back from the host.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>

#include "platform/file.h"

namespace fuzz {

// The directory's host path. Kept in a plain array, which outlives the exit handler that removes
// it.
inline const char* ScratchRoot() {
    static char root[64];
    static const bool made = [] {
        const bool shared = std::filesystem::is_directory("/dev/shm");
        std::snprintf(root, sizeof root, "%s/qzp-fuzz-XXXXXX", shared ? "/dev/shm" : "/tmp");
        if (mkdtemp(root) == nullptr) {
            std::abort();
        }
        std::atexit([] { std::filesystem::remove_all(root); });
        return true;
    }();
    (void)made;
    return root;
}

// A fresh view of the scratch directory as the device image, bound to this thread while it lives.
class Image {
  public:
    Image() : files_(platform::FileSystem::DeviceImage(ScratchRoot())), bound_(*files_) {}

  private:
    std::unique_ptr<platform::FileSystem> files_;
    platform::UseFiles bound_;
};

// A tree as the device sees it: lower-cased relative path ('/' between levels) -> what is there
// ("dir" for a directory, else "file:" and the contents).
using Tree = std::map<std::string, std::string>;

inline std::string Lower(std::string text) {
    for (char& c : text) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

// A stored name as TreeOf names its path: lower-cased, '/' between levels (`\` or `/` in the
// name), empty levels skipped, as extraction does.
inline std::string TreePath(const std::string& name) {
    std::string path;
    for (size_t from = 0, to = 0; from <= name.size(); from = to + 1) {
        to = std::min(name.find_first_of("\\/", from), name.size());
        if (to > from) {
            path += (path.empty() ? "" : "/") + Lower(name.substr(from, to - from));
        }
    }
    return path;
}

inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline Tree TreeOf(const std::filesystem::path& directory) {
    Tree tree;
    for (const auto& item : std::filesystem::recursive_directory_iterator(directory)) {
        const std::string name = Lower(item.path().lexically_relative(directory).generic_string());
        tree[name] = item.is_directory() ? "dir" : "file:" + ReadAll(item.path());
    }
    return tree;
}

}  // namespace fuzz
