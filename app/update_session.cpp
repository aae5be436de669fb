// The update session, in the order the update runs: the waits and the preparation before the
// decode thread, the extraction on it, then the finish.
#include "app/update_session.h"

#include <cstdio>
#include <iterator>
#include <vector>

#include "app/device_paths.h"
#include "app/progress_position.h"
#include "app/room.h"
#include "ini/ini_load.h"
#include "ini/ini_table.h"
#include "package/package.h"
#include "package/package_scan.h"
#include "package/verify.h"
#include "platform/file.h"
#include "platform/replace.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/volume.h"
#include "signature/signature_files.h"

namespace app {
namespace {

std::string Utf8(const std::u16string& text) {
    return platform::Utf16ToUtf8(text);
}

}  // namespace

UpdateSession::UpdateSession(DeviceState& device, SessionPolicy policy, SessionObserver* observer)
    : device_(device), policy_(policy), observer_(observer) {}

UpdateSession::~UpdateSession() {
    Close();
}

void UpdateSession::Close() {
    if (package_ != nullptr) {
        PackageClose(package_);
        package_ = nullptr;
    }
}

bool UpdateSession::Proceed(const StepOutcome& outcome) {
    if (observer_ != nullptr) {
        observer_->OnStep(outcome);
    }
    if (!outcome.GoesOn()) {
        stop_ = outcome;
    }
    return outcome.GoesOn();
}

void UpdateSession::Adopt(PackageArchive* archive, PackageEntry** entries, uint32_t count) {
    package_ = archive;
    entries_ = entries;
    count_ = count;
}

// ---- Before the extraction ----

namespace {

constexpr const char16_t* kLoaderMutexName = u"RURodera";
constexpr int kPackageQueries = 4;  // with 200 ms between them: about 600 ms for a late card
constexpr uint32_t kPollMilliseconds = 200;

bool PackagePresent() {
    return platform::GetAttributes(kPackagePath) != platform::kInvalidFileAttributes;
}

}  // namespace

bool UpdateSession::Start() {
    if (!Proceed(WaitForPackage())) {
        return false;
    }
    WaitForLoaderToExit();
    return Prepare(kPackagePath);
}

// Gives a card that is inserted late a moment to show up: up to four queries 200 ms apart, then
// one more that decides.
StepOutcome UpdateSession::WaitForPackage() {
    for (int query = 1; query <= kPackageQueries; ++query) {
        if (PackagePresent()) {
            break;
        }
        if (query < kPackageQueries) {
            platform::Sleep(kPollMilliseconds);
        }
    }
    if (!PackagePresent()) {
        return Stop(Step::kPackage, Ending::kSilent, "no \\SDMMC\\VORIZ.QZP");
    }
    return Done(Step::kPackage, "\\SDMMC\\VORIZ.QZP found");
}

// The loader program holds its named mutex while it runs. Creating the mutex tells whether it
// exists; the installer never keeps it.
void UpdateSession::WaitForLoaderToExit() {
    for (;;) {
        platform::Handle mutex = platform::CreateNamedMutex(kLoaderMutexName);
        if (mutex == nullptr) {
            return;
        }
        const bool loaderRunning = platform::LastError() == platform::kErrorAlreadyExists;
        platform::CloseHandle(mutex);
        if (!loaderRunning) {
            return;
        }
        platform::Sleep(kPollMilliseconds);
    }
}

bool UpdateSession::Prepare(const char16_t* packagePath) {
    StepOutcome check;
    if (!Proceed(OpenPackage(packagePath)) || !Proceed(CheckSignatureAndContents(check)) ||
        !Proceed(check) || !Proceed(ReadManifest()) || !Proceed(Decide())) {
        return false;
    }
    if (decision_.kind == UpdateKind::kFullAsks && !Proceed(Confirm())) {
        return false;
    }
    if (!Proceed(PlanInstall()) || !Proceed(RequireRoom())) {
        return false;
    }
    // A patch goes over the installed tree: no question, no purge.
    return decision_.kind == UpdateKind::kPatch || !policy_.writes || Proceed(PurgeFlashVolume());
}

StepOutcome UpdateSession::OpenPackage(const char16_t* path) {
    if (path != nullptr) {
        platform::GetFileSize(path, packageSize_);
    }
    platform::ResetFileError();  // a damaged package is no failure of a file call
    if (path != nullptr && PackageOpen(path, &package_, &entries_, &count_, 0) == 0) {
        package_ = nullptr;  // nothing to close
        StepOutcome outcome = Stop(Step::kOpen, Ending::kInvalidPackage, "not a readable package");
        outcome.systemError = platform::LastFileError();
        return outcome;
    }
    if (package_ == nullptr) {
        return Stop(Step::kOpen, Ending::kInvalidPackage, "not a readable package");
    }
    // The names alone decide which entry is the manifest; a name no device could hold refuses
    // the package at the manifest step, once the package's bytes are known to be the signed ones.
    // Only the verdict is kept: the steps of this plan are never used.
    PlanOptions options;
    options.manifestRules = true;
    options.verdictOnly = true;
    InstallPlan names;
    PlanPackage(package_, entries_, count_, options, names);
    names_.manifest = names.manifest;
    names_.fault = names.fault;
    names_.faultEntry = names.faultEntry;
    return Done(Step::kOpen, std::to_string(count_) + " entries");
}

namespace {

// The one pass over the card: the signature's hash is fed from the same reads that check every
// block.
struct ScanPass {
    PackageArchive* package = nullptr;
    PackageScanHooks hooks;
    PackageProblem problem{};
    bool ran = false;
    bool whole = false;

    bool Run() {
        ran = true;
        whole = PackageScan(package, hooks, &problem) == 1;
        return whole;
    }
};

int32_t FeedSignature(void* context, const uint8_t* data, uint32_t size) {
    return static_cast<SignatureCheck*>(context)->Update(data, size);
}

int32_t ScanSigned(void* context, SignatureCheck* check) {
    auto* pass = static_cast<ScanPass*>(context);
    pass->hooks.contents = &FeedSignature;
    pass->hooks.contentsContext = check;
    return pass->Run() ? 0 : -1;
}

}  // namespace

// One pass over the card. On a device that holds keys the signature decides first; a package
// whose every block reads back whole is then the signed one, or refused. A package without
// entries is refused too: its extraction would fail only after the purge had emptied the flash
// volume.
StepOutcome UpdateSession::CheckSignatureAndContents(StepOutcome& check) {
    ScanPass pass;
    pass.package = package_;
    pass.hooks.keepEntry = names_.manifest == kPlanNoEntry ? kPackageScanKeepNone : names_.manifest;
    pass.hooks.keepLimit = kIniMaxWantedFileBytes;  // as much as any settings file the device reads
    pass.hooks.kept = &manifest_;
    pass.hooks.keptTooLarge = &manifestTooLarge_;
    pass.hooks.last = true;  // the extraction reads the card again; nothing scans it again
    const auto checked = [&] {
        if (count_ == 0) {
            return Stop(Step::kCheck, Ending::kInvalidPackage, "no entries");
        }
        if (!pass.whole) {
            return ProblemOutcome(Step::kCheck, Ending::kInvalidPackage, pass.problem);
        }
        return Done(Step::kCheck, "every entry reads back whole");
    };
    if (!device_.ChecksSignatures()) {
        pass.Run();
        check = checked();
        return Done(Step::kSignature, "not checked: the device holds no keys");
    }
    std::string keys;
    std::string text;
    const bool keysRead = device_.ReadTrustedKeys(keys);
    const bool signatureRead = keysRead && device_.ReadSignature(text);
    SignatureOutcome found;
    const bool accepted =
        VerifySignatureTexts(keysRead ? &keys : nullptr, signatureRead ? &text : nullptr,
                             &ScanSigned, &pass, &found) == 0;
    check = checked();
    StepOutcome signature = Done(Step::kSignature, "good, key " + found.keyId);
    if (!accepted && pass.ran && pass.problem.fault != PackageFault::kNone) {
        // The pass stopped at a damaged entry, so the signature could not be confirmed: that
        // entry is the reason.
        signature = check;
        signature.step = Step::kSignature;
    } else if (!accepted) {
        signature =
            Stop(Step::kSignature, Ending::kInvalidPackage, SignatureFaultText(found.fault));
    }
    if (observer_ != nullptr) {
        const std::string reason =
            accepted
                ? std::string()
                : (signature.entry.empty() ? "" : Utf8(signature.entry) + ": ") + signature.reason;
        observer_->OnSignature({accepted ? 1 : 0, found.keyId, found.trustedComment, reason});
    }
    return signature;
}

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

// What a prediction's plan of the manifest's copy sees: the device as it is, except an empty
// directory at the copy's own path, which the installer removes first (RemoveLeftoverDirectory).
uint32_t AttributesAfterLeftoverRemoved(const char16_t* path) {
    const uint32_t attributes = platform::GetAttributes(path);
    if (attributes != platform::kInvalidFileAttributes && platform::IsEmptyDirectory(path) &&
        path[0] == u'\\' &&
        platform::EqualsIgnoringAsciiCase(std::u16string_view(path + 1),
                                          std::u16string_view(kPackageManifestName))) {
        return platform::kInvalidFileAttributes;
    }
    return attributes;
}

}  // namespace

// The manifest: the one file entry that resolves to VORIZ\INDEX.INI. Its copy goes to the root
// of the device, as every run that reads it leaves it; the values are read from the bytes the
// check kept, the same bytes the copy holds.
StepOutcome UpdateSession::ReadManifest() {
    if (names_.fault != PlanFault::kNone) {
        return Stop(Step::kManifest, Ending::kInvalidPackage, PlanFaultText(names_.fault),
                    EntryName(names_.faultEntry));
    }
    if (names_.manifest == kPlanNoEntry) {
        return Done(Step::kManifest, "none");  // a full package with an empty version
    }
    const std::u16string name = EntryName(names_.manifest);
    if (manifestTooLarge_) {
        return Stop(Step::kManifest, Ending::kInvalidPackage, "too large for a settings file",
                    name);
    }
    // The copy goes where the extraction into the root puts it: planned like any extraction, so a
    // name the root cannot take refuses the package here, in a prediction too.
    char16_t path[kTextUnits] = {};
    path[0] = u'\\';
    platform::CopyBounded(path + 1, kTextUnits - 1, kPackageManifestName);
    if (policy_.writes) {
        RemoveLeftoverDirectory(path);
    }
    PackageEntry* entry = entries_[names_.manifest];
    PlanOptions options;
    options.target = u"\\";
    // A device whose tree is not known is taken to have nothing in the way.
    options.tree = device_.PlanTarget() != nullptr ? PlanTree::kKeep : PlanTree::kEmpty;
    options.attributes = policy_.writes ? nullptr : &AttributesAfterLeftoverRemoved;
    InstallPlan copy;
    if (PlanPackage(package_, &entry, 1, options, copy) == 0) {
        return Stop(Step::kManifest, Ending::kInvalidPackage, PlanFaultText(copy.fault), name);
    }
    if (policy_.writes && PackageExtractWith(package_, &entry, 1, u"\\", {}, 0) == 0) {
        return ExtractionFailed(Step::kManifest, Ending::kInvalidPackage);
    }
    ManifestValues values;
    if (!ReadManifestBytes(manifest_, values)) {
        return Stop(Step::kManifest, Ending::kInvalidPackage, "not a settings file", name);
    }
    facts_.packageVersion = values.version;
    facts_.isPatch = values.isPatch;
    facts_.oldVersion = values.oldVersion;
    facts_.allowDowngrade = values.allowDowngrade;
    return Done(Step::kManifest, Utf8(name));
}

namespace {

const char* KindText(UpdateKind kind) {
    switch (kind) {
        case UpdateKind::kRefusePatchMismatch:
            return "patch for another version";
        case UpdateKind::kRefuseDowngrade:
            return "older than the installed version";
        case UpdateKind::kPatch:
            return "patch over the installed version";
        case UpdateKind::kFullAsks:
            return "full update after confirmation";
        case UpdateKind::kFullNoQuestion:
            return "full update without a question";
    }
    return "";
}

}  // namespace

// The installed record and the card settings join the manifest's values; the decision says
// whether and how the update runs.
StepOutcome UpdateSession::Decide() {
    std::string unreadable;
    facts_.recordFound = device_.ReadInstalledVersion(facts_.installedVersion, unreadable);
    facts_.showUpdateTips = device_.ShowUpdateTips();
    facts_.checksSignatures = device_.ChecksSignatures();
    // A device with keys orders versions: a record it cannot read, or one that yields no version,
    // is no missing one, which would let any signed version over the installed one. The way back
    // for such a device is a signed package whose manifest allows a downgrade.
    if (facts_.recordFound && facts_.installedVersion.empty()) {
        unreadable = "without a version";
    }
    if (facts_.checksSignatures && !unreadable.empty() && facts_.allowDowngrade == 0) {
        return Stop(Step::kDecision, Ending::kInvalidPackage,
                    "the installed version record is " + unreadable);
    }
    decision_ = DecideUpdate(facts_);
    std::string detail =
        "package " + Utf8(facts_.packageVersion) +
        (facts_.isPatch != 0 ? " (patch for " + Utf8(facts_.oldVersion) + ")" : "") +
        (facts_.allowDowngrade != 0 ? " (downgrade allowed)" : "") + ", installed " +
        Utf8(decision_.installedVersion) + ": " + KindText(decision_.kind);
    if (decision_.kind == UpdateKind::kRefusePatchMismatch) {
        StepOutcome outcome = Stop(Step::kDecision, Ending::kPatchMismatch);
        outcome.detail = std::move(detail);
        outcome.message = decision_.refusalText;
        outcome.caption = decision_.refusalCaption;
        return outcome;
    }
    if (decision_.kind == UpdateKind::kRefuseDowngrade) {
        StepOutcome outcome = Stop(Step::kDecision, Ending::kDowngrade);
        outcome.detail = std::move(detail);
        outcome.message = decision_.refusalText;
        return outcome;
    }
    return Done(Step::kDecision, std::move(detail));
}

// Any answer but OK (which includes the dialog's own time-out) ends the installer silently. A
// prediction records that the device asks and goes on as if accepted.
StepOutcome UpdateSession::Confirm() {
    asked_ = true;
    if (policy_.confirm == nullptr) {
        return Done(Step::kConfirmation, "asks first");
    }
    std::u16string question;
    const bool accepted = policy_.confirm(policy_.context, facts_.packageVersion,
                                          decision_.installedVersion, question);
    StepOutcome outcome = accepted ? Done(Step::kConfirmation, "OK")
                                   : Stop(Step::kConfirmation, Ending::kSilent, "cancelled");
    outcome.message = question;
    return outcome;
}

// The complete plan of the extraction onto the flash volume, as the tree will be when it starts
// (kept for a patch, emptied for a full update): refused as an invalid package when any entry
// could not be written exactly as planned. Its order is the extraction's: catalogue order with
// the manifest moved to the end, so the new installed version record is the last file written.
// An update cut short therefore leaves the old record (or none), and running the installer again
// repeats the same update.
StepOutcome UpdateSession::PlanInstall() {
    PlanOptions options;
    planTarget_ = device_.PlanTarget();
    options.target = planTarget_;
    options.limitFolder = kFlashVolume;  // what the device counts, with or without the tree
    options.tree = decision_.kind == UpdateKind::kPatch ? PlanTree::kKeep : PlanTree::kEmpty;
    options.manifestRules = true;
    if (PlanPackage(package_, entries_, count_, options, plan_) == 0) {
        return Stop(Step::kPlan, Ending::kInvalidPackage, PlanFaultText(plan_.fault),
                    EntryName(plan_.faultEntry));
    }
    return Done(Step::kPlan, std::to_string(plan_.steps.size()) + " entries, " +
                                 std::to_string(plan_.newDirectoryCount) + " new directories");
}

// The flash volume must hold what the plan writes, counted in its allocation units. A full
// update may use what the purge frees. When the volume cannot be asked, the extraction decides.
StepOutcome UpdateSession::RequireRoom() {
    uint64_t available = 0;
    uint64_t unit = 1;
    const bool full = decision_.kind != UpdateKind::kPatch;
    if (!device_.VolumeRoom(full, available, unit)) {
        return Done(Step::kRoom, "not known");
    }
    const auto oldSize = [](void* session, uint32_t entry) {
        const auto* self = static_cast<const UpdateSession*>(session);
        return self->device_.InstalledFileSize(
            PlannedPath(self->planTarget_, self->entries_[entry]));
    };
    return RoomOutcome(RoomNeeded(plan_, unit, oldSize, this), available);
}

// Deletes everything under the flash volume (not the volume's folder itself) through the shell.
// A purge the user cancelled part way (the shell returns 0 and says some operations were aborted)
// goes on: the full package is installed over what is left, which leaves working software where
// stopping would leave a half-emptied volume. A failure the shell reports stops the run.
StepOutcome UpdateSession::PurgeFlashVolume() {
    char16_t from[50] = {};  // zero-filled: the list ends with the double NUL the shell expects
    platform::CopyBounded(from, std::size(from) - 1, kFlashVolumeContents);

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
    if (result != 0) {
        return Stop(Step::kPurge, Ending::kPurgeFailed,
                    "the shell's delete failed with " + std::to_string(result));
    }
    if (aborted != 0) {
        return Done(Step::kPurge, "cancelled part way; installing over what is left");
    }
    return Done(Step::kPurge, "\\ResidentFlash2 emptied");
}

// ---- The extraction ----

// The decode thread's start, as the installer reports it.
bool UpdateSession::ExtractionStarted(bool started) {
    if (!started) {
        return Proceed(Stop(Step::kDecodeThread, Ending::kThreadFailed, "cannot start the thread"));
    }
    return Proceed(
        Done(Step::kDecodeThread, "extracting " + std::to_string(plan_.order.size()) + " entries"));
}

namespace {

struct ProgressForward {
    void (*report)(void* context, uint32_t position);
    void* context;
};

void ForwardProgress(void* context, uint64_t totalBytes, uint64_t doneBytes, const char16_t*,
                     uint64_t, uint64_t, bool) {
    const auto* forward = static_cast<const ProgressForward*>(context);
    forward->report(forward->context, ProgressPosition(totalBytes, doneBytes));
}

}  // namespace

StepOutcome UpdateSession::Extract(void (*progress)(void* context, uint32_t position),
                                   void* context) {
    // Every entry in the plan's order, which ends with the manifest: the new version record is
    // the last file written, and the bar counts its bytes with the others'.
    std::vector<PackageEntry*> order;
    order.reserve(plan_.order.size());
    for (const uint32_t index : plan_.order) {
        order.push_back(entries_[index]);
    }
    // The steps have counted the room; the extraction plans again, so their memory goes first.
    std::vector<PlanStep>().swap(plan_.steps);
    ProgressForward forward{progress, context};
    PackageProgress report;
    if (progress != nullptr) {
        report = {&ForwardProgress, &forward};
    }
    const auto count = static_cast<uint32_t>(order.size());
    if (PackageExtractWith(package_, order.data(), count, kFlashVolume, report, 0) == 0) {
        return ExtractionFailed(Step::kExtraction, Ending::kExtractionFailed);
    }
    return Done(Step::kExtraction, std::to_string(count) + " entries written");
}

// ---- The finish ----

namespace {

// The pause between the answered completion box and the restart request.
constexpr uint32_t kDelayBeforeRestartMs = 3000;
// How long the program waits after the restart request has returned before it ends by itself.
// The device's restart normally ends the program well within this time.
constexpr uint32_t kRestartGraceMs = 60000;

using RebootMachineProc = int32_t (*)(int32_t);

}  // namespace

void UpdateSession::Finish(const StepOutcome& extraction) {
    if (!Proceed(extraction)) {
        return;  // the flash volume keeps what was written
    }
    Proceed(RecordWritten());
    Proceed(CopyPowerOffLogo());  // never stops the run
    // The logo's line was the log's last: nothing is written to a card the user is now asked to
    // pull out.
    if (policy_.releaseCard != nullptr) {
        policy_.releaseCard(policy_.context);
    }
    platform::Sleep(kDelayBeforeRestartMs);
    Proceed(RequestRestart());
}

// The extraction wrote the new version record last, through a scratch copy renamed over the old
// one: an update cut short anywhere before leaves the old record (or none), and the next run
// repeats the whole update. A cut after it may leave the old logo, as a failed copy does.
StepOutcome UpdateSession::RecordWritten() {
    std::string detail = "none in the package";
    if (plan_.manifest != kPlanNoEntry) {
        detail = Utf8(EntryName(plan_.manifest)) + " written";
    }
    // How often the card was read, for the log: the check's pass and the extraction's.
    if (packageSize_ > 0) {
        char times[48];
        std::snprintf(
            times, sizeof times, "; the package read %.2f times",
            static_cast<double>(::PackageBytesRead(package_)) / static_cast<double>(packageSize_));
        detail += times;
    }
    Close();
    return Done(Step::kRecord, detail);
}

// The card's logo replaces whatever logo the package brought, like any replaced file: a complete
// copy is written beside it and committed to the disk, then renamed over it. A failed or cut
// copy so leaves the old logo (or none), never a truncated one. A failed copy is not shown.
StepOutcome UpdateSession::CopyPowerOffLogo() {
    if (platform::GetAttributes(kLogoSource) == platform::kInvalidFileAttributes) {
        return Done(Step::kLogo, "none on the card");
    }
    switch (platform::ReplaceWithCopy(kLogoSource, kLogoTarget,
                                      PlanScratchRule(0, plan_.scratchBase))) {
        case platform::ReplaceResult::kReplaced:
            break;
        case platform::ReplaceResult::kNoScratchPath:
            return Done(Step::kLogo, "not copied: no room for the path");
        default:
            return Done(Step::kLogo, "not copied: " + platform::LastFileError());
    }
    return Done(Step::kLogo, "copied to \\ResidentFlash2");
}

// Requests the restart from the vendor's system library. The update is complete here, so when
// the restart cannot be requested the program must not stay around forever:
//  - library missing: nothing is shown and the program ends with status 0;
//  - export missing: the standard box says so, then the program ends with status 0;
//  - the request returns: the device restarts asynchronously, so the program waits a bounded
//    time (kRestartGraceMs, scaled on the host) without handling messages, then ends with 0.
// The outcome always stops the run: the program ends after it.
StepOutcome UpdateSession::RequestRestart() {
    platform::LibraryHandle library = platform::LoadLibraryByName(kVendorLibrary);
    if (library == nullptr) {
        return Stop(Step::kRestart, Ending::kSilent, "velmorin.dll not found");
    }
    void* symbol = platform::FindExport(library, "KVRebootMachine");
    if (symbol == nullptr) {
        return Stop(Step::kRestart, Ending::kMissingExport, "no KVRebootMachine in velmorin.dll");
    }
    // Told before the request: the device may restart before the call returns.
    Proceed(Done(Step::kRestart, "requested"));
    const auto reboot = reinterpret_cast<RebootMachineProc>(symbol);
    reboot(1);
    platform::Sleep(kRestartGraceMs);
    return Stop(Step::kRestart, Ending::kSilent, "the device did not restart");
}

// ---- What the steps share ----

std::u16string UpdateSession::EntryName(uint32_t index) const {
    PackageEntryInfo info{};
    if (package_ == nullptr || index >= count_ ||
        PackageGetEntryInfo(package_, entries_[index], &info) == 0) {
        return {};
    }
    return info.name;
}

StepOutcome UpdateSession::ExtractionFailed(Step step, Ending ending) const {
    PackageProblem problem{};
    PackageLastProblem(package_, &problem);
    StepOutcome outcome = ProblemOutcome(step, ending, problem);
    // The system's word only where a file call failed: a refused name or a damaged block is no
    // failure of the system's, whatever a lookup before it left behind.
    switch (problem.fault) {
        case PackageFault::kSeek:
        case PackageFault::kShortRead:
        case PackageFault::kOpenOutput:
        case PackageFault::kShortWrite:
            outcome.systemError = platform::LastFileError();
            break;
        default:
            break;
    }
    return outcome;
}

StepOutcome UpdateSession::ProblemOutcome(Step step, Ending ending,
                                          const PackageProblem& problem) const {
    return Stop(step, ending, PackageProblemText(problem), EntryName(problem.entryIndex));
}

}  // namespace app
