// The device image of a fuzzing run: a fresh temporary directory (on tmpfs when the host has one),
// removed when the process ends. DeviceRoot binds it once for the whole run; a target that changes
// the image from the host between inputs opens a fresh view of it per input (Image), since a view
// does not see changes made by other means to a directory it has read.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

inline const char* DeviceRoot() {
    static const bool bound = [] {
        // The fuzzer calls the target on this thread: the image stays bound for the whole run.
        static const std::unique_ptr<platform::FileSystem> files =
            platform::FileSystem::DeviceImage(ScratchRoot());
        static const platform::UseFiles binding(*files);
        return true;
    }();
    (void)bound;
    return ScratchRoot();
}

// A fresh view of the scratch directory as the device image, bound to this thread while it lives.
class Image {
  public:
    Image() : files_(platform::FileSystem::DeviceImage(ScratchRoot())), bound_(*files_) {}

  private:
    std::unique_ptr<platform::FileSystem> files_;
    platform::UseFiles bound_;
};

}  // namespace fuzz
