// The update session, in the order the update runs: the waits and the preparation before the
// decode thread, the extraction on it, then the finish.
#include "app/update_session.h"

#include <cstdio>
#include <iterator>
#include <new>
#include <vector>

#include "app/device_paths.h"
#include "app/progress_position.h"
#include "app/room.h"
#include "ini/ini_table.h"
#include "package/package.h"
#include "package/package_contents.h"
#include "package/package_scan.h"
#include "package/verify.h"
#include "platform/file.h"
#include "platform/replace.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/volume.h"

namespace app {
namespace {

std::string Utf8(const std::u16string& text) {
    return platform::Utf16ToUtf8(text);
}

// "1 entry", "2 entries": a count with its noun.
std::string Count(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A version as the log names it: an empty one (no manifest, or no such key) said so.
std::string Version(const std::u16string& version) {
    return version.empty() ? std::string("(none)") : Utf8(version);
}

}  // namespace

UpdateSession::UpdateSession(DeviceState& device, SessionPolicy policy, SessionObserver* observer)
    : device_(device), policy_(policy), observer_(observer) {}

UpdateSession::~UpdateSession() {
    Close();
    if (installerMutex_ != nullptr) {
        platform::CloseHandle(installerMutex_);
    }
}

void UpdateSession::Close() {
    extraction_.reset();  // it uses the package
    if (package_ != nullptr) {
        PackageClose(package_);
        package_ = nullptr;
    }
}

bool UpdateSession::Proceed(const StepOutcome& outcome) {
    if (policy_.log != nullptr && !logClosed_) {
        policy_.log->Add(outcome);
    }
    if (observer_ != nullptr) {
        observer_->OnStep(outcome);
    }
    if (!outcome.GoesOn()) {
        stop_ = outcome;
    }
    return outcome.GoesOn();
}

void UpdateSession::CloseLog(const EndingBox& box) {
    if (policy_.log != nullptr && !logClosed_) {
        policy_.log->Close(box);
    }
    logClosed_ = true;
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

// True when a level of `path` is `.` or `..`.
bool HasDotLevel(std::u16string_view path) {
    std::size_t from = 0;
    for (std::size_t k = 0; k <= path.size(); ++k) {
        if (k == path.size() || path[k] == u'\\' || path[k] == u'/') {
            const std::u16string_view level = path.substr(from, k - from);
            if (level == u"." || level == u"..") {
                return true;
            }
            from = k + 1;
        }
    }
    return false;
}

// The scratch file the last run recorded (kScratchRecordPath) when it is still there and can only
// be that run's: a regular file on the flash volume under a scratch name no package may use (the
// record is on the card, which anyone may write). Empty otherwise.
std::u16string ScratchLeft() {
    std::u16string path;
    if (!platform::ReadScratchRecord(kScratchRecordPath, path)) {
        return {};
    }
    const std::u16string_view volume(kFlashVolume);
    const std::size_t leaf = path.find_last_of(u"\\/") + 1;
    const uint32_t attributes = platform::GetAttributes(path.c_str());
    if (path.size() <= volume.size() ||
        !platform::EqualsIgnoringAsciiCase(std::u16string_view(path).substr(0, volume.size()),
                                           volume) ||
        HasDotLevel(path) || !IsPlanScratchName(std::u16string_view(path).substr(leaf)) ||
        attributes == platform::kInvalidFileAttributes ||
        (attributes & (platform::kAttributeDirectory | platform::kAttributeReparsePoint |
                       platform::kAttributeDevice)) != 0) {
        return {};
    }
    return path;
}

}  // namespace

bool UpdateSession::Start() {
    if (!RunsAlone()) {
        logClosed_ = true;  // the card's log is the other installer's
        stop_ = Stop(Step::kPackage, Ending::kSilent, "another installer runs");
        return false;
    }
    StepOutcome package = WaitForPackage();
    RemoveScratchLeft(package);
    if (!Proceed(package)) {
        return false;
    }
    WaitForLoaderToExit();
    return Prepare(kPackagePath);
}

// One installer at a time: two would purge and unpack over each other. The installer's own mutex
// is held until the session ends (with the process). When it cannot be created at all the
// installer runs as before.
bool UpdateSession::RunsAlone() {
    installerMutex_ = platform::CreateNamedMutex(kInstallerMutexName);
    if (installerMutex_ != nullptr && platform::LastError() == platform::kErrorAlreadyExists) {
        platform::CloseHandle(installerMutex_);
        installerMutex_ = nullptr;
        return false;
    }
    return true;
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

// A scratch file a power loss left on the flash volume in the last run is removed by the next,
// whatever it then decides; the record goes with it. The package's outcome says so.
void UpdateSession::RemoveScratchLeft(StepOutcome& package) {
    const std::u16string left = ScratchLeft();
    if (!left.empty() && platform::RemoveFile(left.c_str())) {
        std::string& text = package.GoesOn() ? package.detail : package.reason;
        text += "; removed " + Utf8(left) + ", left by a cut run";
    }
    platform::RemoveFile(kScratchRecordPath);
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

template <typename Body>
bool UpdateSession::Run(Step step, Body body) {
    StepOutcome outcome;
    try {
        outcome = body();
    } catch (const std::bad_alloc&) {
        outcome = OutOfMemory(step);
    }
    return Proceed(outcome);
}

StepOutcome UpdateSession::OutOfMemory(Step step) {
    Ending ending = Ending::kInvalidPackage;
    switch (step) {
        case Step::kDecodeThread:
            ending = Ending::kThreadFailed;
            break;
        case Step::kPurge:
            ending = Ending::kPurgeFailed;
            break;
        case Step::kExtraction:
        case Step::kRecord:
            ending = Ending::kExtractionFailed;
            break;
        case Step::kLogo:  // a failed copy does not stop the run
            return Done(Step::kLogo, std::string("not copied: ") + kOutOfMemoryReason);
        default:
            break;
    }
    return Stop(step, ending, kOutOfMemoryReason);
}

bool UpdateSession::Prepare(const char16_t* packagePath) {
    if (!Run(Step::kOpen, [&] { return OpenPackage(packagePath); }) ||
        !Run(Step::kSignature, [&] { return CheckSignatureAndContents(); }) ||
        !Run(Step::kCheck, [&] { return ContentsChecked(); }) ||
        !Run(Step::kManifest, [&] { return ReadManifest(); }) ||
        !Run(Step::kDecision, [&] { return Decide(); })) {
        return false;
    }
    if (decision_.kind == UpdateKind::kFullAsks &&
        !Run(Step::kConfirmation, [&] { return Confirm(); })) {
        return false;
    }
    if (!Run(Step::kPlan, [&] { return PlanInstall(); }) ||
        !Run(Step::kRoom, [&] { return RequireRoom(); })) {
        return false;
    }
    if (!policy_.writes) {
        return true;  // a prediction ends at the room
    }
    // Everything the extraction needs is taken before the first write: a failure leaves the
    // device as it was. A patch goes over the installed tree: no question, no purge.
    return Run(Step::kDecodeThread, [&] { return StartDecodeThread(); }) &&
           (decision_.kind == UpdateKind::kPatch ||
            Run(Step::kPurge, [&] { return PurgeFlashVolume(); }));
}

StepOutcome UpdateSession::OpenPackage(const char16_t* path) {
    if (path != nullptr) {
        platform::GetFileSize(path, packageSize_);
    }
    platform::ResetFileError();  // a damaged package is no failure of a file call
    // The names alone decide which entry is the manifest; a name no device could hold refuses the
    // package here, before its pass over the card. Only the verdict is kept: the steps of this
    // plan are never used. A package the session opens is planned as its directory is read.
    PlanOptions options;
    options.manifestRules = true;
    options.verdictOnly = true;
    InstallPlan names;
    int32_t planned = 0;
    if (path != nullptr &&
        PackageOpenPlanned(path, &package_, &entries_, &count_, 0, options, names, &planned) == 0) {
        package_ = nullptr;  // nothing to close
        if (PackageLastOpenFault() == PackageFault::kOutOfMemory) {
            return OutOfMemory(Step::kOpen);
        }
        StepOutcome outcome = Stop(Step::kOpen, Ending::kInvalidPackage, "not a readable package");
        outcome.systemError = platform::LastFileError();
        Identify(path, false, {});
        return outcome;
    }
    packagePath_ = path;
    if (package_ == nullptr) {
        return Stop(Step::kOpen, Ending::kInvalidPackage, "not a readable package");
    }
    if (path == nullptr) {
        PlanPackage(package_, entries_, count_, options, names);  // an adopted package
    }
    names_.manifest = names.manifest;
    if (names.fault != PlanFault::kNone) {
        Identify(path, true, {});
        return Stop(Step::kOpen, Ending::kInvalidPackage, PlanFaultText(names.fault),
                    EntryName(names.faultEntry));
    }
    return Done(Step::kOpen, Count(count_, "entry", "entries"));
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
    if (policy_.writes) {
        EntryRun run(*package_, {}, &MakeDirectory);
        if (run.Ready(&entry, 1, u"\\", &copy) != 0 || run.Go() != 0) {
            return ExtractionFailed(Step::kManifest, Ending::kInvalidPackage);
        }
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
    device_.PackageAsks(facts_.isPatch != 0, facts_.oldVersion);
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
        (names_.manifest == kPlanNoEntry ? std::string("package without a manifest")
                                         : "package " + Version(facts_.packageVersion)) +
        (facts_.isPatch != 0 ? " (patch for " + Version(facts_.oldVersion) + ")" : "") +
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
    const PlanOptions options = InstallOptions(decision_.kind == UpdateKind::kPatch);
    int32_t planned = 0;
    if (checkPlan_ != nullptr && checkPlan_->complete &&
        checkPlan_->options.target == options.target && checkPlan_->options.tree == options.tree &&
        checkPlan_->leftover == leftover_ &&
        checkPlan_->options.replacedAfter == options.replacedAfter) {
        // Made during the check's pass over the directory, whose names stay on the card.
        plan_ = std::move(checkPlan_->plan);
        planned = checkPlan_->planned;
    } else {
        planned = PlanPackage(package_, entries_, count_, options, plan_);
    }
    checkPlan_.reset();
    if (planned == 0) {
        return Stop(Step::kPlan, Ending::kInvalidPackage, PlanFaultText(plan_.fault),
                    EntryName(plan_.faultEntry));
    }
    return Done(Step::kPlan,
                Count(plan_.steps.size(), "entry", "entries") + ", " +
                    Count(plan_.newDirectoryCount, "new directory", "new directories"));
}

PlanOptions UpdateSession::InstallOptions(bool patch) {
    PlanOptions options;
    planTarget_ = device_.PlanTarget();
    options.target = planTarget_;
    options.limitFolder = kFlashVolume;  // what the device counts, with or without the tree
    options.tree = patch ? PlanTree::kKeep : PlanTree::kEmpty;
    options.manifestRules = true;
    // The installer removes a scratch file its last run left before it plans (Start).
    leftover_ = policy_.writes ? std::u16string() : ScratchLeft();
    options.leftover = leftover_.empty() ? nullptr : leftover_.c_str();
    if (platform::GetAttributes(kLogoSource) != platform::kInvalidFileAttributes) {
        options.replacedAfter = kLogoTarget;
    }
    return options;
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

void UpdateSession::ForwardProgress(void* session, uint64_t totalBytes, uint64_t doneBytes,
                                    const char16_t*, uint64_t, uint64_t, bool) {
    const auto* self = static_cast<const UpdateSession*>(session);
    if (self->progress_ != nullptr) {
        self->progress_(self->progressContext_, ProgressPosition(totalBytes, doneBytes));
    }
}

namespace {

// The room the run still needs after the purge, whatever the package's size: one entry's names
// and paths, the log's rewrite (its last 64 KB, twice), a host's index of a folder's names.
// Proven free before the purge and held while the extraction takes its buffers, so that decoding
// threads that would leave less are not started.
constexpr std::size_t kRoomAfterPurge = 1u << 20;

}  // namespace

// Before anything is written: the decode thread is created, waiting to be let go, then the
// extraction takes all of its memory (its entries in the plan's order, which ends with the
// manifest, the block buffers, the decoding threads that fit beside the decode thread). After
// this step the run allocates nothing whose size depends on the package, and no thread's creation
// can fail once the purge has run.
StepOutcome UpdateSession::StartDecodeThread() {
    if (policy_.startWorker != nullptr && !policy_.startWorker(policy_.context)) {
        StepOutcome outcome =
            Stop(Step::kDecodeThread, Ending::kThreadFailed, "cannot start the thread");
        if (platform::LastError() == platform::kErrorNotEnoughMemory) {
            outcome.reason = kOutOfMemoryReason;
        }
        return outcome;
    }
    {
        const std::unique_ptr<uint8_t[]> room(new uint8_t[kRoomAfterPurge]);
        std::vector<PackageEntry*> order(plan_.order.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            order[i] = entries_[plan_.order[i]];
        }
        extractionCount_ = static_cast<uint32_t>(order.size());
        extraction_ = std::make_unique<EntryRun>(*package_, PackageProgress{&ForwardProgress, this},
                                                 &MakeDirectory);
        extraction_->RecordScratchIn(kScratchRecordPath);
        if (extraction_->Ready(order.data(), extractionCount_, kFlashVolume, &plan_) != 0) {
            extraction_.reset();
            return ExtractionFailed(Step::kDecodeThread, Ending::kThreadFailed);
        }
    }
    // The steps have counted the room and been handed over; their memory goes first.
    std::vector<PlanStep>().swap(plan_.steps);
    std::vector<uint32_t>().swap(plan_.order);
    return Done(Step::kDecodeThread, "extracting " + Count(extractionCount_, "entry", "entries"));
}

StepOutcome UpdateSession::Extract(void (*progress)(void* context, uint32_t position),
                                   void* context) {
    if (extraction_ == nullptr) {
        return Stop(Step::kExtraction, Ending::kExtractionFailed, "not made ready");
    }
    progress_ = progress;
    progressContext_ = context;
    const int32_t result = extraction_->Go();
    extraction_.reset();
    try {
        if (result != 0) {
            return ExtractionFailed(Step::kExtraction, Ending::kExtractionFailed);
        }
        return Done(Step::kExtraction, Count(extractionCount_, "entry", "entries") + " written");
    } catch (const std::bad_alloc&) {
        return OutOfMemory(Step::kExtraction);
    }
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
    if (!Run(Step::kRecord, [&] { return RecordWritten(); })) {
        return;
    }
    Run(Step::kLogo, [&] { return CopyPowerOffLogo(); });  // never stops the run
    // The box's line is the log's last: nothing is written to a card the user is now asked to
    // pull out. What follows reaches only the observer.
    const EndingBox box = CompletionBox();
    CloseLog(box);
    if (policy_.releaseCard != nullptr) {
        policy_.releaseCard(policy_.context, box);
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
    platform::ScratchRule rule = PlanScratchRule(0, plan_.scratchBase);
    rule.record = kScratchRecordPath;
    switch (platform::ReplaceWithCopy(kLogoSource, kLogoTarget, rule)) {
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

void UpdateSession::Identify(const char16_t* path, bool opened, std::string sha256) {
    if (path == nullptr) {
        return;  // an adopted package is a tool's, which knows what it opened
    }
    PackageIdentity identity;
    identity.path = path;
    identity.size = packageSize_;
    identity.opened = opened;
    identity.sha256 = std::move(sha256);
    if (policy_.log != nullptr && !logClosed_) {
        policy_.log->Identify(identity);
    }
    if (observer_ != nullptr) {
        observer_->OnPackage(identity);
    }
}

// The entry's name in the device's code page; one that is not text there with its bytes escaped
// (`\x83`), as the tools show it, never as replacement characters.
std::u16string UpdateSession::EntryName(uint32_t index) const {
    PackageEntryRecord record;
    if (package_ == nullptr || index >= count_ ||
        PackageGetEntryRecord(package_, entries_[index], &record) == 0) {
        return {};
    }
    const std::string stored = record.storedName.substr(0, record.storedName.find('\0'));
    std::u16string name;
    if (!platform::FromCodePage(stored, name)) {
        name = platform::Utf8ToUtf16(platform::Printable(stored));
    }
    return name;
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
