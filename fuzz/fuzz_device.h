// The device image of a fuzzing run: a fresh temporary directory, made the device root once and
// removed when the process ends, and the way each input reaches the code under test (as a file).
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
        platform::SetDeviceRoot(root);
        std::atexit([] { std::filesystem::remove_all(root); });
        return true;
    }();
    (void)made;
    return root;
}

// Writes the input to `name` in the root; false when it cannot be written.
inline bool WriteInput(const char* name, const uint8_t* data, size_t size) {
    const std::string path = std::string(DeviceRoot()) + "/" + name;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    const bool written = std::fwrite(data, 1, size, out) == size;
    return std::fclose(out) == 0 && written;
}

}  // namespace fuzz
