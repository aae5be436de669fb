// The package manifest check: the package's own version record, read before anything on the
// flash volume changes.
#include "app/device_paths.h"
#include "app/update_decision.h"
#include "app/update_dlg.h"
#include "package/extract_progress.h"
#include "package/install_plan.h"
#include "package/verify.h"
#include "platform/file.h"
#include "platform/text.h"
#include "platform/volume.h"

using app::kManifestName;
using app::kTextUnits;

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

app::StepOutcome CUpdateDlg::CheckPackageManifest(app::UpdateFacts& facts) {
    using app::Ending;
    using app::Step;
    // 1. The manifest is the one file entry that resolves to VORIZ\INDEX.INI (any letter case,
    //    written with `\`). A second one, one stored as a directory entry or one spelt with `/`,
    //    and names no device could hold, refuse the package before anything is written. The
    //    tree-dependent rules follow once the kind of update is known.
    PlanOptions options;
    options.manifestRules = true;
    InstallPlan plan;
    if (PlanPackage(m_package, m_entries, m_entryCount, options, plan) == 0) {
        return app::Stop(Step::kManifest, Ending::kInvalidPackage, PlanFaultText(plan.fault),
                         EntryName(plan.faultEntry));
    }
    // 2. No manifest: a full package with an empty version.
    if (plan.manifest == kPlanNoEntry) {
        return app::Done(Step::kManifest, "none");
    }
    char16_t path[kTextUnits] = {};
    path[0] = u'\\';
    platform::CopyBounded(path + 1, kTextUnits - 1, kManifestName);
    RemoveLeftoverDirectory(path);
    // 3. Unpack it alone into the root; the package stays open for the decode thread.
    if (PackageExtractWith(m_package, &m_entries[plan.manifest], 1, u"\\", {}, 0) == 0) {
        PackageProblem problem{};
        PackageLastProblem(m_package, &problem);
        app::StepOutcome outcome =
            ProblemOutcome(Step::kManifest, Ending::kInvalidPackage, problem);
        outcome.systemError = platform::LastFileError();
        return outcome;
    }
    // 4. Read the copy. A missing IsPatch leaves it 0.
    if (!app::ReadManifestFacts(path, facts)) {
        return app::Stop(Step::kManifest, Ending::kInvalidPackage, "not a settings file",
                         EntryName(plan.manifest));
    }
    return app::Done(Step::kManifest, platform::Utf16ToUtf8(EntryName(plan.manifest)));
}
