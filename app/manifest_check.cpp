// The package manifest check: the package's own version record, read before anything on the
// flash volume changes.
#include "app/device_paths.h"
#include "app/update_decision.h"
#include "app/update_dlg.h"
#include "package/install_plan.h"
#include "platform/file.h"
#include "platform/text.h"
#include "platform/volume.h"

using app::kManifestName;
using app::kTextUnits;

void IgnoreProgress(uint32_t, uint32_t, uint32_t, uint32_t, const char16_t*, uint32_t, uint32_t,
                    uint32_t, uint32_t, uint32_t) {}

namespace {

// A directory at the manifest's copy can only have been left by an earlier run that unpacked a
// manifest stored as a directory entry (such packages are refused now, before anything is
// written). Nothing is ever unpacked below it, so it is empty: removing it lets the copy be
// written again, instead of refusing every later package. Anything else found there stays, and
// the extraction's own plan then refuses the copy.
void RemoveLeftoverDirectory(const char16_t* copyPath) {
    const uint32_t attributes = platform::GetAttributes(copyPath);
    if (attributes != platform::kInvalidFileAttributes &&
        (attributes & platform::kAttributeDirectory) != 0) {
        platform::RemoveEmptyDirectory(copyPath);
    }
}

}  // namespace

bool CUpdateDlg::CheckPackageManifest(std::u16string& packageVersion) {
    // 1. The manifest is the one file entry that resolves to VORIZ\INDEX.INI (any letter case,
    //    written with `\`). A second one, one stored as a directory entry or one spelt with `/`,
    //    and names no device could hold, refuse the package before anything is written. The
    //    tree-dependent rules follow once the kind of update is known.
    PlanOptions options;
    options.manifestRules = true;
    InstallPlan plan;
    if (PlanPackage(m_package, m_entries, m_entryCount, options, plan) == 0) {
        return false;
    }
    // 2. No manifest: a full package with an empty version.
    if (plan.manifest == kPlanNoEntry) {
        return true;
    }
    char16_t path[kTextUnits] = {};
    path[0] = u'\\';
    platform::CopyBounded(path + 1, kTextUnits - 1, kManifestName);
    RemoveLeftoverDirectory(path);
    // 3. Unpack it alone into the root; the package stays open for the decode thread.
    if (PackageExtract(m_package, &m_entries[plan.manifest], 1, u"\\", IgnoreProgress, 0) == 0) {
        return false;
    }
    // 4. Read the copy. A missing IsPatch leaves m_isPatch as it was (0).
    app::UpdateFacts facts;
    facts.isPatch = m_isPatch;
    if (!app::ReadManifestFacts(path, facts)) {
        return false;
    }
    packageVersion = facts.packageVersion;
    m_isPatch = facts.isPatch;
    m_oldVersion = facts.oldVersion;
    return true;
}
