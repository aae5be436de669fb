// The installer's dialog templates for builds that take them from a table instead of resources.
// The table is written at build time from the resource script qzpupdate.rc
// (cmake/rc_dialogs.py), where the dialogs are defined.
#pragma once

#include <cstddef>

#include "platform/ui.h"

namespace app {

// Templates 102 (progress dialog) and 103 (confirmation dialog), in dialog units.
extern const platform::DialogTemplate kDialogTemplates[];
extern const std::size_t kDialogTemplateCount;

}  // namespace app
