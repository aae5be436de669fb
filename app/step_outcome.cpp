// Step names and the message each ending shows.
#include "app/step_outcome.h"

#include "platform/ui.h"

namespace app {
namespace {

EndingBox DialogBox(std::u16string text, std::u16string caption, uint32_t type) {
    return {true, false, std::move(text), std::move(caption), type};
}

EndingBox StandardBox(std::u16string text) {
    return {true, true, std::move(text), {}, platform::kMbOk | platform::kMbIconExclamation};
}

}  // namespace

const char* StepName(Step step) {
    switch (step) {
        case Step::kPackage:
            return "package";
        case Step::kOpen:
            return "open";
        case Step::kSignature:
            return "signature";
        case Step::kManifest:
            return "manifest";
        case Step::kDecision:
            return "decision";
        case Step::kConfirmation:
            return "confirmation";
        case Step::kCheck:
            return "check";
        case Step::kPlan:
            return "plan";
        case Step::kRoom:
            return "room";
        case Step::kPurge:
            return "purge";
        case Step::kDecodeThread:
            return "decode thread";
        case Step::kExtraction:
            return "extraction";
        case Step::kLogo:
            return "logo";
        case Step::kRecord:
            return "record";
        case Step::kRestart:
            return "restart";
    }
    return "step";
}

EndingBox BoxOf(const StepOutcome& outcome) {
    constexpr uint32_t kStop = platform::kMbOk | platform::kMbIconStop;
    switch (outcome.ending) {
        case Ending::kGoOn:
        case Ending::kSilent:
            return {};
        case Ending::kInvalidPackage:
            return DialogBox(u"Invalid update File", u"Error", kStop);
        case Ending::kPatchMismatch:
            return DialogBox(outcome.message, outcome.caption, kStop);
        case Ending::kNoRoom:
        case Ending::kDowngrade:
            return StandardBox(outcome.message);
        case Ending::kPurgeFailed:
            return StandardBox(
                u"Failed to delete files in ResisdentFlash2,Maybe Some programs are running, "
                u"Please Close!");
        case Ending::kThreadFailed:
            return DialogBox(u"Startup Decode Thread Fial", u"Error", kStop);
        case Ending::kExtractionFailed:
            return DialogBox(u"Setup Failly ! ", u"Setup", kStop);
        case Ending::kMissingExport:
            return StandardBox(u"Cannot find reboot function in velmorin.dll");
    }
    return {};
}

}  // namespace app
