#include "package/plan_items.h"

namespace plan {

PlanFault PlanFaultOf(NameFault fault) {
    switch (fault) {
        case NameFault::kNone:
            return PlanFault::kNone;
        case NameFault::kNotText:
            return PlanFault::kNameNotText;
        case NameFault::kEmpty:
            return PlanFault::kEmptyName;
        case NameFault::kEmptyLevel:
        case NameFault::kTrailingSeparator:
            return PlanFault::kEmptyLevel;
        case NameFault::kDotLevel:
            return PlanFault::kDotLevel;
        case NameFault::kDrivePrefix:
            return PlanFault::kReservedName;
        case NameFault::kControlCharacter:
        case NameFault::kBadCharacter:
        case NameFault::kTrailingDotOrBlank:
        case NameFault::kDeviceName:
            return PlanFault::kBadLevel;
    }
    return PlanFault::kBadLevel;
}

PlanFault CatalogueList::Name(uint32_t i, std::u16string_view& name) {
    if (i != held_) {
        wide_.clear();
        held_ = i;
        if (entries_[i]->ReadName(stored_) != 0) {
            heldFault_ = PlanFault::kNameNotText;  // the package changed since it was opened
        } else {
            heldFault_ = PlanFaultOf(CheckStoredName(stored_.stored(), entries_[i]->IsDirectory(),
                                                     &wide_, NameUse::kRead));
        }
    }
    name = wide_;
    return heldFault_;
}

}  // namespace plan
