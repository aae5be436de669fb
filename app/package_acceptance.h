// Whether any device would install a package, and if not, why: the update session run, writing
// nothing, for a device that states nothing against the package. It holds no keys, its tree and
// room are not known, and its installed version is the one a patch asks for (a full update finds
// none). What such a device refuses, every device refuses, with the same message. The tools ask
// this before they call a package good (verify), sign it or leave it written (pack), and to say
// what a device makes of it (info).
#pragma once

#include "app/step_outcome.h"

namespace app {

// True when such a device installs the package at the device path `packagePath`; otherwise
// `refusal` is the outcome that stopped it (DescribeStep says where, why and the device's message).
// `checking` (may be null) is told the share checked as SessionPolicy::checking is.
bool AnyDeviceInstalls(const char16_t* packagePath, StepOutcome& refusal,
                       void (*checking)(void* context, int percent) = nullptr,
                       void* context = nullptr);

}  // namespace app
