// The room rule, to the allocation unit: what a plan needs at its fullest moment and the figures
// the refusal shows (its text is the session row FullOneByteOver's).
#include "app/room.h"

#include <gtest/gtest.h>

#include <map>

namespace {

constexpr uint64_t kUnit = 4096;

struct RoomCase {
    const char* label;
    uint32_t newDirectories;
    std::vector<PlanStep> steps;
    std::map<uint32_t, uint64_t> installed;  // by entry: sizes of the files a patch replaces
    uint64_t available;
    uint64_t needed;
    const char* counts;  // what the room step logs
};

void PrintTo(const RoomCase& c, std::ostream* os) {
    *os << c.label;
}

PlanStep Create(uint32_t entry, uint64_t size) {
    return {entry, PlanAction::kCreateFile, false, size};
}
PlanStep Replace(uint32_t entry, uint64_t size) {
    return {entry, PlanAction::kReplaceFile, false, size};
}
PlanStep Directory(uint32_t entry) {
    return {entry, PlanAction::kMakeDirectory};
}

class Room : public testing::TestWithParam<RoomCase> {};

TEST_P(Room, CountsWholeUnitsAtTheFullestMoment) {
    const RoomCase& c = GetParam();
    InstallPlan plan;
    plan.newDirectoryCount = c.newDirectories;
    plan.steps = c.steps;
    auto installed = c.installed;
    const auto oldSize = [](void* sizes, uint32_t entry) {
        const auto& map = *static_cast<std::map<uint32_t, uint64_t>*>(sizes);
        const auto found = map.find(entry);
        return found == map.end() ? uint64_t{0} : found->second;
    };
    const uint64_t needed = app::RoomNeeded(plan, kUnit, oldSize, &installed);
    EXPECT_EQ(needed, c.needed);

    const app::StepOutcome outcome = app::RoomOutcome(needed, c.available);
    if (needed <= c.available) {
        EXPECT_TRUE(outcome.GoesOn());
        EXPECT_EQ(outcome.detail, c.counts);
    } else {
        EXPECT_EQ(outcome.reason, c.counts);
        EXPECT_EQ(outcome.ending, app::Ending::kNoRoom);
    }
}

// A full update: new directories and files, each in whole units; an exact fit installs, a byte
// more across a unit boundary is refused. A patch: a replaced file needs its new copy beside the
// old one until the rename, so its peak comes before what it frees.
INSTANTIATE_TEST_SUITE_P(
    Plans, Room,
    testing::Values(
        RoomCase{"FullExactFit",
                 1,
                 {Directory(0), Create(1, 8192), Create(2, 100)},
                 {},
                 16384,
                 16384,
                 "needs 16 KB, 16 KB available"},
        RoomCase{"FullOneByteOver",
                 1,
                 {Directory(0), Create(1, 8193), Create(2, 100)},
                 {},
                 16384,
                 20480,
                 "needs 20 KB, 16 KB available"},
        RoomCase{"EmptyFilesTakeNoUnit", 0, {Create(0, 0)}, {}, 0, 0, "needs 0 KB, 0 KB available"},
        RoomCase{"PatchPeaksBeforeTheRenameFreesTheOldCopy",
                 0,
                 {Replace(0, 8192), Replace(1, 100)},
                 {{0, 4096}, {1, 200}},
                 8192,
                 8192,
                 "needs 8 KB, 8 KB available"},
        RoomCase{"PatchOneByteOver",
                 0,
                 {Replace(0, 8193), Replace(1, 100)},
                 {{0, 4096}, {1, 200}},
                 8192,
                 12288,
                 "needs 12 KB, 8 KB available"},
        RoomCase{"PatchShrinkingAFileFreesRoomForTheNext",
                 1,
                 {Replace(0, 4096), Create(1, 12288)},
                 {{0, 16384}},
                 8192,
                 8192,
                 "needs 8 KB, 8 KB available"},
        // The device's old file at that path is gone by then: the earlier entry's copy is freed.
        RoomCase{
            "FileWrittenTwiceCountsOnce",
            0,
            {Create(0, 8192), {1, PlanAction::kReplaceFile, true, 8192, 8192}, Create(2, 8192)},
            {{1, 65536}},
            16384,
            16384,
            "needs 16 KB, 16 KB available"}),
    [](const testing::TestParamInfo<RoomCase>& info) { return info.param.label; });

}  // namespace
