#include "package/plan_fault.h"

const char* PlanFaultText(PlanFault fault) {
    switch (fault) {
        case PlanFault::kNone:
            return "no fault";
        case PlanFault::kTooManyEntries:
            return "more than 65,535 entries";
        case PlanFault::kNameNotText:
            return "name cannot be read as text of at most 259 units";
        case PlanFault::kEmptyName:
            return "empty name";
        case PlanFault::kEmptyLevel:
            return "name has an empty level";
        case PlanFault::kDotLevel:
            return "name has a '.' or '..' level";
        case PlanFault::kReservedName:
            return "name has a drive prefix or a level reserved for extraction's scratch files";
        case PlanFault::kBadLevel:
            return "name has a level the device cannot create";
        case PlanFault::kPathTooLong:
            return "path too long";
        case PlanFault::kTargetMissing:
            return "the target directory does not exist";
        case PlanFault::kSamePath:
            return "another entry resolves to the same path";
        case PlanFault::kFileInTheWay:
            return "a file stands where a directory is needed";
        case PlanFault::kDirectoryInTheWay:
            return "a directory stands where the file goes";
        case PlanFault::kParentMissing:
            return "the parent directory would not exist (levels joined by '/' are not created)";
        case PlanFault::kManifestIsDirectory:
            return "the manifest is a directory entry";
        case PlanFault::kSecondManifest:
            return "a second manifest";
        case PlanFault::kLinkInTheWay:
            return "a link or device file stands on the path";
        case PlanFault::kManifestMisspelt:
            return "resolves to the manifest's path but is not named like it";
    }
    return "unknown fault";
}
