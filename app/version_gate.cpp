// The version gate: decides, after the package is open and before anything on the flash volume
// changes, whether the update runs and how (update_decision.h). A patch must be made for the
// installed version; a full package may be confirmed by the user and empties the flash volume
// first. In both cases, before the first change on the flash volume, the whole package is
// checked, the complete extraction plan is decided against the tree the update will find, and
// the flash volume must have room for it.
#include <algorithm>
#include <iterator>
#include <string>

#include "app/device_paths.h"
#include "app/tip_dlg.h"
#include "app/update_decision.h"
#include "app/update_dlg.h"
#include "package/verify.h"
#include "platform/text.h"
#include "platform/volume.h"

using app::kCardSettingsPath;
using app::kFlashVolume;
using app::kInstalledRecordPath;

namespace {

std::string Utf8(const std::u16string& text) {
    return platform::Utf16ToUtf8(text);
}

const char* KindText(app::UpdateKind kind) {
    switch (kind) {
        case app::UpdateKind::kRefusePatchMismatch:
            return "patch for another version";
        case app::UpdateKind::kPatch:
            return "patch over the installed version";
        case app::UpdateKind::kFullAsks:
            return "full update after confirmation";
        case app::UpdateKind::kFullNoQuestion:
            return "full update without a question";
    }
    return "";
}

}  // namespace

bool CUpdateDlg::RunVersionGate() {
    app::UpdateFacts facts;
    app::UpdateDecision decision;
    if (!Proceed(CheckPackageManifest(facts)) || !Proceed(Decide(facts, decision))) {
        return false;
    }
    switch (decision.kind) {
        case app::UpdateKind::kRefusePatchMismatch:  // stopped by Decide
            return false;
        case app::UpdateKind::kPatch:
            // A patch goes over the installed tree: no question, no purge.
            return Proceed(VerifyWholePackage()) && Proceed(PlanInstall(PlanTree::kKeep)) &&
                   Proceed(RequireFreeSpace(false));
        case app::UpdateKind::kFullAsks:
            if (!Proceed(
                    ConfirmFullUpdate(facts.packageVersion, decision.installedVersion.c_str()))) {
                return false;
            }
            break;
        case app::UpdateKind::kFullNoQuestion:
            break;
    }
    return Proceed(VerifyWholePackage()) && Proceed(PlanInstall(PlanTree::kEmpty)) &&
           Proceed(RequireFreeSpace(true)) && Proceed(PurgeFlashVolume());
}

// The installed record and the card settings join the manifest's values; the decision says
// whether and how the update runs.
app::StepOutcome CUpdateDlg::Decide(const app::UpdateFacts& manifest,
                                    app::UpdateDecision& decision) {
    app::UpdateFacts facts = manifest;
    facts.recordFound = app::ReadRecordVersion(kInstalledRecordPath, facts.installedVersion);
    facts.showUpdateTips = app::ReadShowUpdateTips(kCardSettingsPath);
    decision = app::DecideUpdate(facts);
    std::string detail = "package " + Utf8(facts.packageVersion) +
                         (facts.isPatch != 0 ? " (patch for " + Utf8(facts.oldVersion) + ")" : "") +
                         ", installed " + Utf8(decision.installedVersion) + ": " +
                         KindText(decision.kind);
    if (decision.kind == app::UpdateKind::kRefusePatchMismatch) {
        app::StepOutcome outcome = app::Stop(app::Step::kDecision, app::Ending::kPatchMismatch);
        outcome.detail = std::move(detail);
        outcome.message = decision.refusalText;
        outcome.caption = decision.refusalCaption;
        return outcome;
    }
    return app::Done(app::Step::kDecision, std::move(detail));
}

// Any answer but OK (which includes the dialog's own time-out) ends the installer silently.
app::StepOutcome CUpdateDlg::ConfirmFullUpdate(const std::u16string& packageVersion,
                                               const char16_t* installedVersion) {
    CTipDlg confirmation(packageVersion, installedVersion, this);
    app::StepOutcome outcome =
        confirmation.DoModal() == platform::kIdOk
            ? app::Done(app::Step::kConfirmation, "OK")
            : app::Stop(app::Step::kConfirmation, app::Ending::kSilent, "cancelled");
    outcome.message = confirmation.Question();
    return outcome;
}

// Reads and inflates every entry and compares its CRC-32 without writing anything, so that a
// damaged package is refused while the installed software is still whole. A package without
// entries is refused too: its extraction would fail only after the purge had emptied the flash
// volume.
app::StepOutcome CUpdateDlg::VerifyWholePackage() {
    if (m_entryCount == 0) {
        return app::Stop(app::Step::kCheck, app::Ending::kInvalidPackage, "no entries");
    }
    PackageProblem problem{};
    if (PackageVerify(m_package, m_entries, m_entryCount, nullptr, nullptr, &problem) == 0) {
        return ProblemOutcome(app::Step::kCheck, app::Ending::kInvalidPackage, problem);
    }
    return app::Done(app::Step::kCheck, "every entry reads back whole");
}

// The complete plan of the extraction onto the flash volume, as the tree will be when it starts
// (kept for a patch, emptied for a full update): refused as an invalid package when any entry
// could not be written exactly as planned. Its order is the decode thread's: catalogue order with
// the manifest moved to the end, so the new installed version record is the last file written.
// An update cut short therefore leaves the old record (or none), and running the installer again
// repeats the same update.
app::StepOutcome CUpdateDlg::PlanInstall(PlanTree tree) {
    PlanOptions options;
    options.target = kFlashVolume;
    options.tree = tree;
    options.manifestRules = true;
    if (PlanPackage(m_package, m_entries, m_entryCount, options, m_plan) == 0) {
        return app::Stop(app::Step::kPlan, app::Ending::kInvalidPackage,
                         PlanFaultText(m_plan.fault), EntryName(m_plan.faultEntry));
    }
    m_installOrder.clear();
    m_installOrder.reserve(m_plan.order.size());
    for (const uint32_t index : m_plan.order) {
        m_installOrder.push_back(m_entries[index]);
    }
    return app::Done(app::Step::kPlan, std::to_string(m_plan.steps.size()) + " entries, " +
                                           std::to_string(m_plan.newDirectories.size()) +
                                           " new directories");
}

namespace {

std::u16string Kilobytes(uint64_t bytes) {
    const std::string digits = std::to_string((bytes + 1023) / 1024);
    return std::u16string(digits.begin(), digits.end());
}

}  // namespace

// The flash volume must hold what the plan writes, counted in its allocation units, each new
// directory taking one. A full update may use what the purge frees. A patch needs, at its
// fullest moment, every new file, and for a replaced file its complete new copy beside the old
// one until the rename frees the old. When the volume cannot be asked, the extraction decides as
// before.
app::StepOutcome CUpdateDlg::RequireFreeSpace(bool full) {
    platform::VolumeSpace space;
    if (!platform::GetVolumeSpace(kFlashVolume, space)) {
        return app::Done(app::Step::kRoom, "not known");
    }
    const uint64_t unit = space.unitBytes;
    uint64_t available = space.freeBytes;
    if (full) {
        uint64_t used = 0;
        if (platform::MeasureTree(kFlashVolume, unit, used)) {
            available += used;
        }
    }
    int64_t inUse = static_cast<int64_t>(m_plan.newDirectories.size() * unit);
    int64_t peak = inUse;
    for (const PlanStep& step : m_plan.steps) {
        const int64_t added = static_cast<int64_t>(platform::RoundToUnits(step.size, unit));
        if (step.action == PlanAction::kCreateFile) {
            inUse += added;
        } else if (step.action == PlanAction::kReplaceFile) {
            uint64_t oldSize = 0;
            platform::GetFileSize(step.path.c_str(), oldSize);
            peak = std::max(peak, inUse + added);
            inUse += added - static_cast<int64_t>(platform::RoundToUnits(oldSize, unit));
        }
        peak = std::max(peak, inUse);
    }
    const uint64_t needed = static_cast<uint64_t>(peak);
    const std::string counts =
        "needs " + Utf8(Kilobytes(needed)) + " KB, " + Utf8(Kilobytes(available)) + " KB available";
    if (needed <= available) {
        return app::Done(app::Step::kRoom, counts);
    }
    app::StepOutcome outcome = app::Stop(app::Step::kRoom, app::Ending::kNoRoom, counts);
    outcome.message =
        u"The flash volume ResidentFlash2 lacks room for this update: it "
        u"needs " +
        Kilobytes(needed) + u" KB, " + Kilobytes(available) + u" KB are available.";
    return outcome;
}

// Deletes everything under the flash volume (not the volume's folder itself) through the shell.
// A purge the user aborted counts as failed even when the shell returns 0: the volume may be
// half emptied, and unpacking over it would leave a mixture of two versions.
app::StepOutcome CUpdateDlg::PurgeFlashVolume() {
    char16_t from[50] = {};  // zero-filled: the list ends with the double NUL the shell expects
    platform::CopyBounded(from, std::size(from) - 1, u"\\ResidentFlash2\\*.*");

    int32_t aborted = 0;
    platform::ShellFileOperation operation{};
    operation.owner = nullptr;
    operation.function = platform::kFileOpDelete;
    operation.from = from;
    operation.to = nullptr;
    operation.flags = platform::kFileOpNoConfirmation | platform::kFileOpSimpleProgress;
    operation.anyOperationsAborted = &aborted;
    operation.nameMappings = nullptr;
    operation.progressTitle = u"Delete now......";
    const int result = platform::RunShellFileOperation(operation);
    if (result != 0 || aborted != 0) {
        return app::Stop(
            app::Step::kPurge, app::Ending::kPurgeFailed,
            result != 0 ? "the shell's delete failed with " + std::to_string(result) : "aborted");
    }
    return app::Done(app::Step::kPurge, "\\ResidentFlash2 emptied");
}
