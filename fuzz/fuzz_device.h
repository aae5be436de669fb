// The device image of a fuzzing run: a fresh temporary directory, made the device root once and
// removed when the process ends, for what an input extracts.
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

// The root's host path. Kept in a plain array, which outlives the exit handler that removes it.
inline const char* DeviceRoot() {
    static char root[] = "/tmp/qzp-fuzz-XXXXXX";
    static const bool made = [] {
        if (mkdtemp(root) == nullptr) {
            std::abort();
        }
        // The fuzzer calls the target on this thread: the image stays bound for the whole run.
        static const std::unique_ptr<platform::FileSystem> files =
            platform::FileSystem::DeviceImage(root);
        static const platform::UseFiles bound(*files);
        std::atexit([] { std::filesystem::remove_all(root); });
        return true;
    }();
    (void)made;
    return root;
}

}  // namespace fuzz
