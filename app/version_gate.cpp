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

void CUpdateDlg::RunVersionGate() {
    app::UpdateFacts facts;
    if (!CheckPackageManifest(facts.packageVersion)) {
        RejectInvalidPackage();
    }
    facts.isPatch = m_isPatch;
    facts.oldVersion = m_oldVersion;
    facts.recordFound = app::ReadRecordVersion(kInstalledRecordPath, facts.installedVersion);
    facts.showUpdateTips = app::ReadShowUpdateTips(kCardSettingsPath);
    const app::UpdateDecision decision = app::DecideUpdate(facts);

    switch (decision.kind) {
        case app::UpdateKind::kRefusePatchMismatch:
            ShowMessageBox(decision.refusalText.c_str(), decision.refusalCaption.c_str(),
                           platform::kMbOk | platform::kMbIconStop);
            ClosePackageAndExit();
        case app::UpdateKind::kPatch:
            // A patch goes over the installed tree: no question, no purge.
            VerifyWholePackage();
            PlanInstall(PlanTree::kKeep);
            RequireFreeSpace(false);
            return;
        case app::UpdateKind::kFullAsks:
            ConfirmFullUpdate(facts.packageVersion, decision.installedVersion.c_str());
            break;
        case app::UpdateKind::kFullNoQuestion:
            break;
    }
    VerifyWholePackage();
    PlanInstall(PlanTree::kEmpty);
    RequireFreeSpace(true);
    PurgeFlashVolume();
}

// Any answer but OK (which includes the dialog's own time-out) ends the installer silently.
void CUpdateDlg::ConfirmFullUpdate(const std::u16string& packageVersion,
                                   const char16_t* installedVersion) {
    CTipDlg confirmation(packageVersion, installedVersion, this);
    if (confirmation.DoModal() != platform::kIdOk) {
        ClosePackageAndExit();
    }
}

// Reads and inflates every entry and compares its CRC-32 without writing anything, so that a
// damaged package is refused while the installed software is still whole. A package without
// entries is refused too: its extraction would fail only after the purge had emptied the flash
// volume.
void CUpdateDlg::VerifyWholePackage() {
    if (m_entryCount == 0 ||
        PackageVerify(m_package, m_entries, m_entryCount, nullptr, nullptr, nullptr) == 0) {
        RejectInvalidPackage();
    }
}

// The complete plan of the extraction onto the flash volume, as the tree will be when it starts
// (kept for a patch, emptied for a full update): refused as an invalid package when any entry
// could not be written exactly as planned. Its order is the decode thread's: catalogue order with
// the manifest moved to the end, so the new installed version record is the last file written.
// An update cut short therefore leaves the old record (or none), and running the installer again
// repeats the same update.
void CUpdateDlg::PlanInstall(PlanTree tree) {
    PlanOptions options;
    options.target = kFlashVolume;
    options.tree = tree;
    options.manifestRules = true;
    if (PlanPackage(m_package, m_entries, m_entryCount, options, m_plan) == 0) {
        RejectInvalidPackage();
    }
    m_installOrder.clear();
    m_installOrder.reserve(m_plan.order.size());
    for (const uint32_t index : m_plan.order) {
        m_installOrder.push_back(m_entries[index]);
    }
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
void CUpdateDlg::RequireFreeSpace(bool full) {
    platform::VolumeSpace space;
    if (!platform::GetVolumeSpace(kFlashVolume, space)) {
        return;
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
    if (needed <= available) {
        return;
    }
    const std::u16string text =
        u"The flash volume ResidentFlash2 lacks room for this update: it "
        u"needs " +
        Kilobytes(needed) + u" KB, " + Kilobytes(available) + u" KB are available.";
    platform::StandardMessageBox(text.c_str(), platform::kMbOk | platform::kMbIconExclamation);
    ClosePackageAndExit();
}

// Deletes everything under the flash volume (not the volume's folder itself) through the shell.
// A purge the user aborted counts as failed even when the shell returns 0: the volume may be
// half emptied, and unpacking over it would leave a mixture of two versions.
void CUpdateDlg::PurgeFlashVolume() {
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
    if (platform::RunShellFileOperation(operation) != 0 || aborted != 0) {
        platform::StandardMessageBox(
            u"Failed to delete files in ResisdentFlash2,Maybe Some programs are running, Please "
            u"Close!",
            platform::kMbOk | platform::kMbIconExclamation);
        ClosePackageAndExit();
    }
}
