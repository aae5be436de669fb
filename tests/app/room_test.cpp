// The room rule, to the allocation unit: what a plan needs at its fullest moment and the figures
// the room step logs (a refusal's text is the session row FullOneByteOver's).
#include "app/room.h"

#include <gtest/gtest.h>

#include <map>

namespace {

struct RoomCase {
    const char* label;
    uint32_t newDirectories;
    std::vector<PlanStep> steps;
    std::map<uint32_t, uint64_t> installed;  // by entry: sizes of the files a patch replaces
    uint64_t available;
    uint64_t needed;
};

PlanStep Create(uint32_t entry, uint64_t size) {
    return {entry, PlanAction::kCreateFile, false, size};
}
PlanStep Replace(uint32_t entry, uint64_t size) {
    return {entry, PlanAction::kReplaceFile, false, size};
}

// A full update: new directories and files, each in whole units of 4 KB; an exact fit installs, a
// byte more across a unit boundary is refused. A patch: a replaced file needs its new copy beside
// the old one until the rename, so its peak comes before what it frees.
const PlanStep kDirectory{0, PlanAction::kMakeDirectory};
// Entry 1 written again, smaller: the device's old file at that path is gone by then, the earlier
// entry's copy is what is freed, and the later copy is what stays.
const PlanStep kAgain{1, PlanAction::kReplaceFile, true, 4096, 8192};
const RoomCase kRooms[] = {
    {"FullExactFit", 1, {kDirectory, Create(1, 8192), Create(2, 100)}, {}, 16384, 16384},
    {"FullOneByteOver", 1, {kDirectory, Create(1, 8193), Create(2, 100)}, {}, 16384, 20480},
    {"EmptyFilesTakeNoUnit", 0, {Create(0, 0)}, {}, 0, 0},
    {"PatchPeaks", 0, {Replace(0, 8192), Replace(1, 100)}, {{0, 4096}, {1, 200}}, 8192, 8192},
    {"PatchOver", 0, {Replace(0, 8193), Replace(1, 100)}, {{0, 4096}, {1, 200}}, 8192, 12288},
    {"PatchShrinking", 1, {Replace(0, 4096), Create(1, 12288)}, {{0, 16384}}, 8192, 8192},
    {"WrittenTwice", 0, {Create(0, 8192), kAgain, Create(2, 8192)}, {{1, 65536}}, 16384, 12288},
};

TEST(Room, CountsWholeUnitsAtTheFullestMoment) {
    for (const RoomCase& c : kRooms) {
        SCOPED_TRACE(c.label);
        InstallPlan plan;
        plan.newDirectoryCount = c.newDirectories;
        plan.steps = c.steps;
        auto installed = c.installed;
        const auto oldSize = [](void* sizes, uint32_t entry) {
            const auto& map = *static_cast<std::map<uint32_t, uint64_t>*>(sizes);
            return map.contains(entry) ? map.at(entry) : uint64_t{0};
        };
        const uint64_t needed = app::RoomNeeded(plan, 4096, oldSize, &installed);
        EXPECT_EQ(needed, c.needed);

        const app::StepOutcome outcome = app::RoomOutcome(needed, c.available);
        const std::string counts = "needs " + std::to_string(needed / 1024) + " KB, " +
                                   std::to_string(c.available / 1024) + " KB available";
        EXPECT_EQ(outcome.GoesOn() ? outcome.detail : outcome.reason, counts);
        EXPECT_EQ(outcome.ending,
                  needed <= c.available ? app::Ending::kGoOn : app::Ending::kNoRoom);
    }
}

}  // namespace
