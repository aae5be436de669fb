// The installer's dialog templates for builds that take them from a table instead of resources.
#pragma once

#include <cstddef>

#include "platform/ui.h"

namespace app {

// Templates 102 (progress dialog) and 103 (confirmation dialog), in dialog units.
extern const platform::DialogTemplate kDialogTemplates[];
extern const std::size_t kDialogTemplateCount;

}  // namespace app
