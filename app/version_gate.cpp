// The version gate: decides, after the package is open and before anything on the flash volume
// changes, whether the update runs and how. A patch must be made for the installed version; a
// full package may be confirmed by the user and empties the flash volume first. In both cases the
// whole package is checked before the first change on the flash volume.
#include <iterator>

#include "app/device_paths.h"
#include "app/tip_dlg.h"
#include "app/update_dlg.h"
#include "app/wide_text.h"
#include "ini/ini_document.h"
#include "package/verify.h"

using app::kCardSettingsPath;
using app::kFlashVolume;
using app::kInstalledRecordPath;
using app::kManifestName;
using app::kTextUnits;

namespace {

constexpr const char16_t* kUnknownVersion = u"undetected";

}  // namespace

void CUpdateDlg::RunVersionGate() {
    std::u16string packageVersion;
    if (!CheckPackageManifest(packageVersion)) {
        RejectInvalidPackage();
    }

    char16_t installedVersion[kTextUnits] = {};
    const bool recordFound = ReadInstalledVersion(installedVersion);
    const int32_t showTips = ReadShowUpdateTips();
    if (installedVersion[0] == 0) {
        app::CopyBounded(installedVersion, kTextUnits, kUnknownVersion);
    }

    if (m_isPatch != 0) {
        // A patch goes over the installed tree: no question, no purge.
        RequireMatchingPatch(installedVersion);
        VerifyWholePackage();
        PlanInstallOrder();
        return;
    }
    if (recordFound && showTips != 0) {
        ConfirmFullUpdate(packageVersion, installedVersion);
    }
    VerifyWholePackage();
    PlanInstallOrder();
    PurgeFlashVolume();
}

// Reads SoftwareVersion of the installed version record. False when the record cannot be opened;
// a record without the key counts as found with an empty version.
bool CUpdateDlg::ReadInstalledVersion(char16_t (&installedVersion)[260]) {
    IniDocument* record = IniOpen(kInstalledRecordPath);
    if (record == nullptr) {
        return false;
    }
    IniGetString(record, u"Config", u"SoftwareVersion", installedVersion);
    IniClose(record);
    installedVersion[kTextUnits - 1] = 0;
    return true;
}

// IsShowUpdateTips of the card settings; 1 when the file or the key is missing.
int32_t CUpdateDlg::ReadShowUpdateTips() {
    int32_t showTips = 1;
    IniDocument* settings = IniOpen(kCardSettingsPath);
    if (settings != nullptr) {
        IniGetInt(settings, u"Config", u"IsShowUpdateTips", &showTips);
        IniClose(settings);
    }
    return showTips;
}

void CUpdateDlg::RequireMatchingPatch(const char16_t* installedVersion) {
    if (app::EqualsIgnoringCase(m_oldVersion.c_str(), installedVersion, kTextUnits)) {
        return;
    }
    const std::u16string text = u"This Patch only for version:" + m_oldVersion + u"\n Update fail!";
    ShowMessageBox(text.c_str(), u"Update Patch", platform::kMbOk | platform::kMbIconStop);
    ClosePackageAndExit();
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
        PackageVerify(m_package, m_entries, m_entryCount, kFlashVolume, nullptr, nullptr) == 0) {
        RejectInvalidPackage();
    }
}

// Catalogue order, with every entry named like the manifest moved to the end in its own order:
// the files end up as catalogue order leaves them, but the new installed version record is
// written last. An update cut short therefore leaves the old record (or none), and running the
// installer again repeats the same update.
void CUpdateDlg::PlanInstallOrder() {
    std::vector<PackageEntry*> manifests;
    m_installOrder.clear();
    m_installOrder.reserve(m_entryCount);
    for (uint32_t i = 0; i < m_entryCount; ++i) {
        PackageEntryInfo info{};
        if (PackageGetEntryInfo(m_package, m_entries[i], &info) == 0) {
            RejectInvalidPackage();
        }
        if (app::EqualsIgnoringCase(info.name, kManifestName, std::size(info.name))) {
            manifests.push_back(m_entries[i]);
        } else {
            m_installOrder.push_back(m_entries[i]);
        }
    }
    m_installOrder.insert(m_installOrder.end(), manifests.begin(), manifests.end());
}

// Deletes everything under the flash volume (not the volume's folder itself) through the shell.
void CUpdateDlg::PurgeFlashVolume() {
    char16_t from[50] = {};  // zero-filled: the list ends with the double NUL the shell expects
    app::CopyBounded(from, std::size(from) - 1, u"\\ResidentFlash2\\*.*");

    platform::ShellFileOperation operation{};
    operation.owner = nullptr;
    operation.function = platform::kFileOpDelete;
    operation.from = from;
    operation.to = nullptr;
    operation.flags = platform::kFileOpNoConfirmation | platform::kFileOpSimpleProgress;
    operation.anyOperationsAborted = nullptr;
    operation.nameMappings = nullptr;
    operation.progressTitle = u"Delete now......";
    if (platform::RunShellFileOperation(operation) != 0) {
        platform::StandardMessageBox(
            u"Failed to delete files in ResisdentFlash2,Maybe Some programs are running, Please "
            u"Close!",
            platform::kMbOk | platform::kMbIconExclamation);
        ClosePackageAndExit();
    }
}
