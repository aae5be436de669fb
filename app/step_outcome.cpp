// Step names, and every message an ending shows: the device's refusals, in one place.
#include "app/step_outcome.h"

#include "platform/text.h"
#include "platform/ui.h"

namespace app {
namespace {

constexpr std::size_t kLineLimit = 1024;  // a line of one step, whatever its entry name

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

EndingBox CompletionBox() {
    return DialogBox(u"Please remove SDMMC card.\nClick OK to restart!", u"Setup Completely",
                     platform::kMbOk);
}

std::u16string PatchMismatchText(const std::u16string& oldVersion) {
    return u"This Patch only for version:" + oldVersion + u"\n Update fail!";
}

std::u16string DowngradeText(const std::u16string& packageVersion,
                             const std::u16string& installedVersion) {
    return u"Update refused: version " + packageVersion + u" is older than the installed version " +
           installedVersion + u".";
}

std::u16string NoRoomText(const std::string& neededKb, const std::string& availableKb) {
    return platform::Utf8ToUtf16(
        "The flash volume ResidentFlash2 lacks room for this update: it "
        "needs " +
        neededKb + " KB, " + availableKb + " KB are available.");
}

std::string DescribeStep(const StepOutcome& outcome) {
    std::string line = std::string(StepName(outcome.step)) + ": " + outcome.detail;
    if (!outcome.GoesOn()) {
        // What was found, then the entry and why it stopped the run, then how the run ends.
        std::string why = outcome.entry.empty() ? "" : platform::Utf16ToUtf8(outcome.entry) + ": ";
        why += outcome.reason;
        if (!outcome.systemError.empty()) {
            why += " (" + outcome.systemError + ")";
        }
        const EndingBox box = BoxOf(outcome);
        const std::string ending = box.shown ? "shows \"" + platform::Utf16ToUtf8(box.text) + "\""
                                             : std::string("ends without a message");
        for (const std::string& part : {why, ending}) {
            if (!part.empty()) {
                line += (line.back() == ' ' ? "" : "; ") + part;
            }
        }
    }
    // Any field may come from the package or the card (an entry name, a version): the line is
    // escaped as a whole, so none can end it or forge the next, and cut between characters.
    return platform::Printable(line, kLineLimit);
}

}  // namespace app
