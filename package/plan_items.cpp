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
    if (i == kept_ && i != held_) {
        name = keptWide_;
        return PlanFault::kNone;  // only a name without fault is kept
    }
    if (i != held_) {
        if (entries_[i]->ReadName(stored_) != 0) {
            wide_.clear();
            held_ = i;
            heldFault_ = PlanFault::kNameNotText;  // the package changed since it was opened
        } else {
            Offer(i, stored_.stored());
        }
    }
    name = wide_;
    return heldFault_;
}

void CatalogueList::Keep(uint32_t i) {
    if (i == held_ && heldFault_ == PlanFault::kNone) {
        keptWide_ = wide_;
        kept_ = i;
    }
}

void CatalogueList::Offer(uint32_t i, std::string_view stored) {
    wide_.clear();
    held_ = i;
    heldFault_ =
        PlanFaultOf(CheckStoredName(stored, entries_[i]->IsDirectory(), &wide_, NameUse::kRead));
}

}  // namespace plan
