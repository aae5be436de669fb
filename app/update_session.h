// One update session: everything the installer decides and does with one package, without any
// window. The installer's dialogs only ask (the confirmation, the card's removal), show (progress,
// message boxes) and forward; `qzp check` runs the same steps with a policy that shows nothing and
// writes nothing, so what it predicts is what the device does.
//
// The steps, in order; each returns a StepOutcome (step_outcome.h) and the first that does not go
// on ends the session:
//   Package    the installer waits for the package on the card, then for the loader to end
//   Open       the package, and the plan of its names alone (which finds the manifest; a name no
//              device could hold refuses the package)
//   Signature  on a device that holds trusted keys: the package's detached signature
//   Check      every block read, inflated and CRC-checked; in the same pass over the card as the
//              signature, before anything on the device is written
//   Manifest   the manifest's copy written to \VORIZ\INDEX.INI (installer only) and read
//   Decision   the version gate (update_decision.h)
//   Confirmation  before a full update over a recorded version, when the card's tips are on
//   Plan       the complete extraction plan over the tree the update will find
//   Room       the flash volume must hold what the plan writes
//   DecodeThread  (installer only) everything the extraction needs is taken: its entries in the
//              plan's order, its buffers, and the decode thread, which waits to be let go
//   Purge      a full update empties the flash volume (installer only)
// then, run by the installer alone: Extraction of every entry on the decode thread (the manifest,
// the new version record, last), and the finish: Record (its report), Logo (only once the record
// is in place), the card's removal, Restart.
//
// A step that runs out of memory is refused like any other failure of that step, with its box;
// before the purge the device is then as it was. After the purge the run allocates nothing whose
// size depends on the package.
//
// The package is read from the card at most twice: the signature and the check share one pass,
// the extraction is the second (the manifest's bytes are kept from the first). Names a large
// catalogue leaves on the card are planned from those reads too: the names' plan during the
// open's parse of the directory, the complete plan as the check's pass reads it (PlanDuringCheck).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/device_state.h"
#include "app/run_log.h"
#include "app/step_outcome.h"
#include "app/update_decision.h"
#include "package/extract.h"
#include "package/install_plan.h"
#include "package/package.h"
#include "package/package_fault.h"
#include "platform/system.h"

namespace app {

// What the signature step found, for a host program's record.
struct SignatureReport {
    int32_t result = 0;  // 1 accepted, 0 refused
    std::string keyId;
    std::string trustedComment;
    std::string reason;  // empty when accepted
};

// Told of every outcome as it happens, before the run acts on it (the technician's log, a host
// program's record). The signature report comes only from a device that checks signatures.
class SessionObserver {
  public:
    virtual ~SessionObserver() = default;
    virtual void OnStep(const StepOutcome& outcome) = 0;
    virtual void OnSignature(const SignatureReport&) {}
    // The package the run opened (or could not), told once, after its one read and before
    // anything is written.
    virtual void OnPackage(const PackageIdentity&) {}
};

// The session's surroundings: what it may do and whom it asks.
struct SessionPolicy {
    // The installer writes (the manifest's copy, the purge, the extraction, the logo); a
    // prediction writes nothing.
    bool writes = true;
    // Asks the user before a full update; true to go on. Null: the answer is OK (a prediction
    // says "asks first" instead).
    bool (*confirm)(void* context, const std::u16string& packageVersion,
                    const std::u16string& installedVersion, std::u16string& question) = nullptr;
    // Shows `box`, which tells the user the update is complete and asks for the card to be
    // removed; returns once answered. Nothing is written to the card after it is called. Null:
    // nothing is shown.
    void (*releaseCard)(void* context, const EndingBox& box) = nullptr;
    void* context = nullptr;  // handed to confirm, releaseCard, startWorker and checking
    // Creates the thread that is to run Extract, waiting until it is let go; false when it
    // cannot be created. Called before anything on the device is written. Null: the caller
    // runs Extract itself.
    bool (*startWorker)(void* context) = nullptr;
    // Told the share of the package the check has read (0 to 100) each time it grows, then -1 once
    // the check has ended, whatever its outcome. Null: nobody.
    void (*checking)(void* context, int percent) = nullptr;
    // The technician's log on the card (run_log.h), written by the session: the package, every
    // outcome and the run's closing line, until the card is released. Null: no log.
    RunLog* log = nullptr;
};

class UpdateSession {
  public:
    UpdateSession(DeviceState& device, SessionPolicy policy, SessionObserver* observer);
    ~UpdateSession();  // closes the package
    UpdateSession(const UpdateSession&) = delete;
    UpdateSession& operator=(const UpdateSession&) = delete;

    // The installer's run up to the extraction: one installer at a time (a second one stops at
    // once, silently, writing nothing, not even the log), then waits for the package on the card
    // and for the loader to end, then Prepare(kPackagePath). True when the update goes on to the
    // extraction.
    bool Start();
    // Runs every step from opening the package at `packagePath` up to the purge (a prediction:
    // up to the room), the decode thread's start before the purge. True when the update goes on
    // to the extraction, which the worker may then be let to run; otherwise Stopped() holds
    // the outcome that ended it. The package may instead be handed over already open (a tool
    // that reads it from a host file) with Adopt before Prepare(nullptr).
    bool Prepare(const char16_t* packagePath);
    void Adopt(PackageArchive* archive, PackageEntry** entries, uint32_t count);

    // Extracts every entry onto the flash volume in the plan's order (the manifest, the new
    // version record, last), reporting the percentage of compressed bytes consumed (0..100)
    // through `progress`: the extraction Prepare made ready, by the plan it logged. Runs on the
    // decode thread; touches nothing but the package and the flash volume.
    StepOutcome Extract(void (*progress)(void* context, uint32_t position), void* context);
    // Ends the run after the extraction whose outcome is `extraction`; Stopped() then holds the
    // outcome that ended it. After a failed extraction nothing more is written: no logo, no
    // restart. After a successful one, whose last file was the new record: the record's report
    // (RecordWritten); the card's logo to the flash volume (a failed copy does not stop the
    // run); the card's removal (policy); a pause; the restart request through the vendor
    // library, which always ends the run.
    void Finish(const StepOutcome& extraction);
    // Closes the package after a successful extraction, which wrote the new version record last;
    // the outcome says how many times the package's size was read from the card in all: at most
    // 2, the check's pass and the extraction's.
    StepOutcome RecordWritten();

    // Closes the package now (a run that ends the process without unwinding).
    void Close();
    // The log's closing line, naming the box the run is about to end with; nothing once the card
    // is released (its box closed the log) or when another installer runs.
    void CloseLog(const EndingBox& box);
    // Hands `outcome` to the observer; true when the run goes on (otherwise it is kept as the
    // stopping outcome).
    bool Proceed(const StepOutcome& outcome);

    const StepOutcome& Stopped() const { return stop_; }
    const UpdateDecision& Decision() const { return decision_; }
    const UpdateFacts& Facts() const { return facts_; }
    bool Asked() const { return asked_; }

  private:
    bool RunsAlone();
    StepOutcome WaitForPackage();
    void RemoveScratchLeft(StepOutcome& package);
    void WaitForLoaderToExit();
    StepOutcome OpenPackage(const char16_t* path);
    // The one pass over the card, judged by the signature; ContentsChecked then says what it
    // found of the entries.
    StepOutcome CheckSignatureAndContents();
    StepOutcome ContentsChecked() const;
    StepOutcome ReadManifest();
    StepOutcome Decide();
    StepOutcome Confirm();
    StepOutcome PlanInstall();
    // The options of the complete plan over the tree the update will find: kept for a patch,
    // emptied for a full update.
    PlanOptions InstallOptions(bool patch);
    // Called by the check's pass once every entry is checked: the complete plan for the tree the
    // kept manifest asks for, to be told the names as the pass reads the directory (null when
    // the names are in memory, or the manifest will refuse the package).
    static CatalogueNameFeed* PlanDuringCheck(void* session);
    StepOutcome RequireRoom();
    StepOutcome StartDecodeThread();
    // The extraction's progress (PackageProgress), forwarded as a position.
    static void ForwardProgress(void* session, uint64_t totalBytes, uint64_t doneBytes,
                                const char16_t* name, uint64_t entryBytes, uint64_t entryDoneBytes,
                                bool firstBlock);
    // The outcome of `step` when memory ran out in it: the refusal that step shows.
    static StepOutcome OutOfMemory(Step step);
    // Runs the step `step` by `body` and hands its outcome on (Proceed); out of memory, the
    // step's refusal.
    template <typename Body>
    bool Run(Step step, Body body);
    StepOutcome PurgeFlashVolume();
    StepOutcome CopyPowerOffLogo();
    StepOutcome RequestRestart();

    void Identify(const char16_t* path, bool opened, std::string sha256);
    std::u16string EntryName(uint32_t index) const;
    // The outcome of an extraction at `step` that failed: the package's last problem.
    StepOutcome ExtractionFailed(Step step, Ending ending) const;
    StepOutcome ProblemOutcome(Step step, Ending ending, const PackageProblem& problem) const;

    DeviceState& device_;
    SessionPolicy policy_;
    SessionObserver* observer_;
    PackageArchive* package_ = nullptr;
    PackageEntry** entries_ = nullptr;
    uint32_t count_ = 0;
    uint64_t packageSize_ = 0;  // of the file opened by Prepare (0 for an adopted package)
    const char16_t* packagePath_ = nullptr;  // that file's path (null for an adopted package)
    // Of the plan of the names alone, made when the package is opened: the manifest (no steps).
    InstallPlan names_;
    InstallPlan plan_;         // the plan over the tree the update will find
    std::u16string leftover_;  // InstallOptions' scratch file left by a cut run
    // The complete plan made during the check's pass over the directory, for PlanInstall to take
    // when its options are the same.
    struct CheckPlan {
        PlanOptions options;
        std::u16string leftover;
        InstallPlan plan;
        std::unique_ptr<CatalogueNamesPlan> feed;
        int32_t planned = 0;
        bool complete = false;  // every name was told
    };
    std::unique_ptr<CheckPlan> checkPlan_;
    const char16_t* planTarget_ = nullptr;  // plan_'s target directory
    // The extraction, made ready before the purge with the plan's order, and its progress.
    std::unique_ptr<EntryRun> extraction_;
    uint32_t extractionCount_ = 0;
    void (*progress_)(void* context, uint32_t position) = nullptr;
    void* progressContext_ = nullptr;
    // What the pass over the card found: every block read back whole, or the problem it stopped at.
    bool scanWhole_ = false;
    PackageProblem scanProblem_{};
    std::vector<uint8_t> manifest_;
    bool manifestTooLarge_ = false;
    UpdateFacts facts_;
    UpdateDecision decision_;
    bool asked_ = false;
    StepOutcome stop_;
    platform::Handle installerMutex_ = nullptr;  // held from Start until the session ends
    bool logClosed_ = false;  // the card takes no more lines: released, or not this run's
};

}  // namespace app
