// What one step of an update decided, or why it stopped the run. Every step of the update
// session returns one; the installer acts on a stopping outcome in one place (it shows its
// message and ends the process) and a prediction prints it. The same outcomes feed the
// technician's log on the card and a host program's record.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace app {

// The steps in the order a run takes them: the log compares their ordinals.
enum class Step : uint8_t {
    kPackage,       // waiting for the package on the card, then for the loader to end
    kOpen,          // opening the package and the plan of its names alone
    kSignature,     // the trusted signature, on a device that holds keys
    kCheck,         // reading every entry of the package without writing
    kManifest,      // the manifest's copy written to the root and its values read
    kDecision,      // the version gate's decision over the installed version
    kConfirmation,  // the user's answer before a full update
    kPlan,          // the extraction plan over the tree the update will find
    kRoom,          // free space on the flash volume
    kDecodeThread,  // the decode thread created and the extraction's memory taken
    kPurge,         // emptying the flash volume
    kExtraction,    // the extraction onto the flash volume
    kRecord,        // the new version record, the last file of the update
    kLogo,          // the card's logo copied to the flash volume
    kRestart,       // the restart request
};

// How the run goes on after a step.
enum class Ending : uint8_t {
    kGoOn,              // the next step runs
    kSilent,            // the run ends without a message
    kInvalidPackage,    // "Invalid update File"
    kPatchMismatch,     // the patch is for another installed version (text in `message`)
    kNoRoom,            // the flash volume lacks room (text in `message`)
    kDowngrade,         // a signed package older than the installed version (text in `message`)
    kPurgeFailed,       // the flash volume could not be emptied
    kThreadFailed,      // the decode thread could not be started
    kExtractionFailed,  // "Setup Failly ! "
    kMissingExport,     // the vendor library lacks its restart function
};

struct StepOutcome {
    Step step = Step::kPackage;
    Ending ending = Ending::kGoOn;
    // What the step found or decided, in words for the log (UTF-8), e.g. "package 2.0,
    // installed 1.0".
    std::string detail;
    // Why the step stopped the run: the entry concerned (as stored), the reason and the
    // system's own word for it. Empty when not known or not applicable.
    std::u16string entry;
    std::string reason;
    std::string systemError;
    // The text the step showed or ends with when it is computed (the confirmation's question, a
    // patch mismatch, missing room), and its caption when it has one.
    std::u16string message;
    std::u16string caption;

    bool GoesOn() const { return ending == Ending::kGoOn; }
};

// The reason of a step that ran out of memory, as the log writes it.
inline constexpr char kOutOfMemoryReason[] = "out of memory";

// A step that went as planned, with what it found.
inline StepOutcome Done(Step step, std::string detail = {}) {
    StepOutcome outcome;
    outcome.step = step;
    outcome.detail = std::move(detail);
    return outcome;
}

// A step that ends the run.
inline StepOutcome Stop(Step step, Ending ending, std::string reason = {},
                        std::u16string entry = {}) {
    StepOutcome outcome;
    outcome.step = step;
    outcome.ending = ending;
    outcome.reason = std::move(reason);
    outcome.entry = std::move(entry);
    return outcome;
}

// The package a run reads, as the technician's log names it.
struct PackageIdentity {
    std::u16string path;
    uint64_t size = 0;
    bool opened = false;  // read as a package
    std::string sha256;   // 64 hex digits; empty unless the run read every byte of it
};

// The step's name as the log writes it, e.g. "purge".
const char* StepName(Step step);

// The message box an ending shows: through the dialog (with a caption) or as the standard box
// of the program (captioned with its name). `shown` is false for an ending without one.
struct EndingBox {
    bool shown = false;
    bool standard = false;
    std::u16string text;
    std::u16string caption;
    uint32_t type = 0;
};
EndingBox BoxOf(const StepOutcome& outcome);
// The box of a complete update, which asks for the card to be removed.
EndingBox CompletionBox();

// The texts of the refusals that name versions or sizes (kept in `message`, with the caption).
inline constexpr char16_t kPatchMismatchCaption[] = u"Update Patch";
std::u16string PatchMismatchText(const std::u16string& oldVersion);
std::u16string DowngradeText(const std::u16string& packageVersion,
                             const std::u16string& installedVersion);
std::u16string NoRoomText(const std::string& neededKb, const std::string& availableKb);

// The outcome in one line, as the technician's log writes it without the time, e.g. "purge:
// done" or "check: no entries; shows "Invalid update File"": one line whatever its fields hold
// (escaped by platform::Printable, a message's line feeds shown as \n), at most 1 KB, cut between
// characters.
std::string DescribeStep(const StepOutcome& outcome);

}  // namespace app
