#include "app/progress_position.h"

namespace app {

uint32_t ProgressPosition(uint64_t total, uint64_t done) {
    if (total == 0) {
        return 0;
    }
    if (done >= total) {
        return 100;
    }
    if (done <= UINT64_MAX / 100) {
        return static_cast<uint32_t>(done * 100 / total);
    }
    // Counters beyond 2^57 bytes (no package comes near: the format stays below 2 GiB): the
    // product would overflow, so divide by a hundredth of the total instead, which may be one
    // percent high; the bar still stays below 100 until the end.
    const uint64_t position = done / (total / 100);
    return static_cast<uint32_t>(position < 99 ? position : 99);
}

}  // namespace app
