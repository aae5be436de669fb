// The progress bar's position from the compressed byte counters of an extraction.
#include <gtest/gtest.h>

#include <cstdint>

#include "app/progress_position.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// The truncated percentage. The large rows are where done * 100 no longer fits in 32 bits (from
// about 43 MB on), and where the counters need their high words.
TEST(ProgressPosition, MatchesTruncatedPercentage) {
    struct PositionCase {
        const char* what;
        uint64_t total;
        uint64_t done;
        uint32_t expected;
    };
    for (const PositionCase& c : std::initializer_list<PositionCase>{
             {"two thirds truncated, not rounded", 300, 200, 66},
             {"all done", 300, 300, 100},
             {"nothing done", 1000, 0, 0},
             {"600 MB, a third", 600 * kMiB, 200 * kMiB, 33},
             {"600 MB, one block short", 600 * kMiB, 600 * kMiB - 16384, 99},
             {"600 MB, 42.9 MB done", 600 * kMiB, 45000000, 7},
             {"1.9 GiB, half", 0x79999999, 0x3CCCCCCC, 49},
             {"6 GiB (high words), three quarters", 6 * 1024 * kMiB, 9 * 512 * kMiB, 75},
             {"empty package", 0, 0, 0},
             {"count past the total stays in range", 1000, 5000, 100},
         }) {
        EXPECT_EQ(app::ProgressPosition(c.total, c.done), c.expected) << c.what;
    }
}

}  // namespace
