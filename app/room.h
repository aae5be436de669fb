// The room rule: whether the flash volume holds what an extraction plan writes.
#pragma once

#include <cstdint>

#include "app/step_outcome.h"
#include "package/install_plan.h"

namespace app {

// What the plan needs on a volume of `unitBytes` allocation units, at its fullest moment. Each
// new directory takes one unit; each new file its size in whole units; a replaced file its
// complete new copy beside the old one until the rename frees the old one (`oldSize(context,
// entry)` gives the size of the old file that the step of list entry `entry` replaces, unless an
// earlier entry of the plan wrote it).
uint64_t RoomNeeded(const InstallPlan& plan, uint64_t unitBytes,
                    uint64_t (*oldSize)(void* context, uint32_t entry), void* context);

// The room step's verdict: "needs N KB, M KB available" (in the log), and the refusal's text when
// `needed` exceeds `available`.
StepOutcome RoomOutcome(uint64_t needed, uint64_t available);

}  // namespace app
