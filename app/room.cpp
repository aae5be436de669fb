#include "app/room.h"

#include <algorithm>
#include <string>

#include "platform/text.h"
#include "platform/volume.h"

namespace app {
namespace {

std::string Kilobytes(uint64_t bytes) {
    return std::to_string((bytes + 1023) / 1024);
}

}  // namespace

uint64_t RoomNeeded(const InstallPlan& plan, uint64_t unitBytes,
                    uint64_t (*oldSize)(void* context, uint32_t entry), void* context) {
    int64_t inUse =
        static_cast<int64_t>(uint64_t{plan.newDirectoryCount} * std::max<uint64_t>(unitBytes, 1));
    int64_t peak = inUse;
    for (const PlanStep& step : plan.steps) {
        const auto added = static_cast<int64_t>(platform::RoundToUnits(step.size, unitBytes));
        if (step.action == PlanAction::kCreateFile) {
            inUse += added;
        } else if (step.action == PlanAction::kReplaceFile) {
            peak = std::max(peak, inUse + added);
            const uint64_t old = step.again           ? step.earlierSize
                                 : oldSize != nullptr ? oldSize(context, step.entry)
                                                      : 0;
            inUse += added - static_cast<int64_t>(platform::RoundToUnits(old, unitBytes));
        }
        peak = std::max(peak, inUse);
    }
    return static_cast<uint64_t>(peak);
}

StepOutcome RoomOutcome(uint64_t needed, uint64_t available) {
    const std::string counts =
        "needs " + Kilobytes(needed) + " KB, " + Kilobytes(available) + " KB available";
    if (needed <= available) {
        return Done(Step::kRoom, counts);
    }
    StepOutcome outcome = Stop(Step::kRoom, Ending::kNoRoom, counts);
    outcome.message = NoRoomText(Kilobytes(needed), Kilobytes(available));
    return outcome;
}

}  // namespace app
