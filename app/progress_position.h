// The progress bar's position during an extraction.
#pragma once

#include <cstdint>

namespace app {

// Progress-bar position (0..100) for `done` of `total` bytes. A total of 0 gives 0 and a count
// past the total gives 100, so the bar never leaves its range; no overflow for any count.
uint32_t ProgressPosition(uint64_t total, uint64_t done);

}  // namespace app
