// The state of a file system's fault plan (fault.h), shared by fault.cpp, which every program
// links, and fault_plan.cpp, which only a program that plans faults links.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/file.h"

namespace platform {

struct FileSystem::Faults {
    std::atomic<uint64_t> writes{0};
    std::atomic<uint64_t> cutAt{0};
    std::atomic<uint64_t> failAt{0};
    std::atomic<bool> purgeAborted{false};
};

}  // namespace platform
