// One update session: everything the installer decides and does with one package, without any
// window. The installer's dialogs only ask (the confirmation), show (progress, message boxes) and
// forward; `qzp check` runs the same steps with a policy that shows nothing and writes nothing,
// so what it predicts is what the device does.
//
// The steps, in order; each returns a StepOutcome (step_outcome.h) and the first that does not go
// on ends the session:
//   Open       the package, and the plan of its names alone (which finds the manifest)
//   Signature  on a device that holds trusted keys: the package's detached signature
//   Check      every block read, inflated and CRC-checked; in the same pass over the card as the
//              signature, before anything on the device is written
//   Manifest   the manifest's copy written to \VORIZ\INDEX.INI (installer only) and read
//   Decision   the version gate (update_decision.h)
//   Confirmation  before a full update over a recorded version, when the card's tips are on
//   Plan       the complete extraction plan over the tree the update will find
//   Room       the flash volume must hold what the plan writes
//   Purge      a full update empties the flash volume (installer only)
// then, run by the installer alone: Extraction of every entry but the manifest (on the decode
// thread), Logo, Record (the manifest, the last file written), Restart.
//
// The package is read from the card at most twice: the signature and the check share one pass,
// the extraction is the second (the manifest's bytes are kept from the first).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/step_outcome.h"
#include "app/update_decision.h"
#include "package/install_plan.h"
#include "package/package.h"
#include "package/package_fault.h"

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
};

// Where the session reads the device's state. The default reads the device's own files; `qzp
// check` states some of it instead. Nothing here writes.
class DeviceState {
  public:
    virtual ~DeviceState() = default;
    // False when the device holds no trusted keys: it installs without looking at signatures.
    virtual bool ChecksSignatures();
    // The key file's and the signature file's text (at most the parsers' limits + 1 bytes);
    // false when the file cannot be read.
    virtual bool ReadTrustedKeys(std::string& text);
    virtual bool ReadSignature(std::string& text);
    // The installed version record's SoftwareVersion; false when there is no record.
    virtual bool ReadInstalledVersion(std::u16string& version);
    // The card settings' IsShowUpdateTips (1 when missing).
    virtual int32_t ShowUpdateTips();
    // The flash volume's tree as the plan sees it: the target directory, or null to plan the
    // names alone (the tree unknown).
    virtual const char16_t* PlanTarget();
    // Free space and allocation unit of the flash volume, and for a full update what the purge
    // frees; false when not known (the room step then lets the extraction decide).
    virtual bool VolumeRoom(bool full, uint64_t& available, uint64_t& unitBytes);
    // The size of an existing file the plan replaces (0 when unknown).
    virtual uint64_t InstalledFileSize(const std::u16string& path);
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
    void* confirmContext = nullptr;
};

class UpdateSession {
  public:
    UpdateSession(DeviceState& device, SessionPolicy policy, SessionObserver* observer);
    ~UpdateSession();  // closes the package
    UpdateSession(const UpdateSession&) = delete;
    UpdateSession& operator=(const UpdateSession&) = delete;

    // Runs every step from opening the package at `packagePath` up to the purge (a prediction:
    // up to the room). True when the update goes on to the extraction; otherwise Stopped() holds
    // the outcome that ended it. The package may instead be handed over already open (a tool
    // that reads it from a host file) with Adopt before Prepare(nullptr).
    bool Prepare(const char16_t* packagePath);
    void Adopt(PackageArchive* archive, PackageEntry** entries, uint32_t count);
    // Closes the package now (a run that ends the process without unwinding).
    void Close();

    // Extracts every entry but the manifest onto the flash volume in the plan's order, reporting
    // the percentage of compressed bytes consumed (0..100) through `progress`. Runs on the decode
    // thread; touches nothing but the package and the flash volume.
    StepOutcome Extract(void (*progress)(void* context, uint32_t position), void* context);

    // After a successful extraction, in this order: the card's logo to the flash volume (a failed
    // copy does not stop the run); the manifest as the new version record, the last file written
    // (then the package is closed, and the outcome says how many times the package's size was
    // read from the card in all: at most 2, the check's pass and the extraction's); the restart
    // request through the vendor library (always ends the run).
    StepOutcome CopyPowerOffLogo();
    StepOutcome WriteRecord();
    StepOutcome RequestRestart();

    // Hands `outcome` to the observer; true when the run goes on (otherwise it is kept as the
    // stopping outcome).
    bool Proceed(const StepOutcome& outcome);

    const StepOutcome& Stopped() const { return stop_; }
    const UpdateDecision& Decision() const { return decision_; }
    const UpdateFacts& Facts() const { return facts_; }
    bool Asked() const { return asked_; }
    // How many entries Extract writes: the plan's, less the manifest that WriteRecord writes.
    uint32_t EntriesToExtract() const {
        return static_cast<uint32_t>(plan_.order.size()) -
               (plan_.manifest != kPlanNoEntry ? 1u : 0u);
    }

  private:
    StepOutcome OpenPackage(const char16_t* path);
    StepOutcome CheckSignatureAndContents(StepOutcome& check);
    StepOutcome ReadManifest();
    StepOutcome Decide();
    StepOutcome Confirm();
    StepOutcome PlanInstall();
    StepOutcome RequireRoom();
    StepOutcome PurgeFlashVolume();

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
    // The verdict of the plan of the names alone (fault, faultEntry, manifest; no steps), made
    // when the package is opened.
    InstallPlan names_;
    InstallPlan plan_;                      // the plan over the tree the update will find
    const char16_t* planTarget_ = nullptr;  // plan_'s target directory
    std::vector<uint8_t> manifest_;
    bool manifestTooLarge_ = false;
    UpdateFacts facts_;
    UpdateDecision decision_;
    bool asked_ = false;
    StepOutcome stop_;
};

// Progress-bar position (0..100) for `done` of `total` compressed bytes. A total of 0 gives 0 and a
// count past the total gives 100, so the bar never leaves its range; no overflow for any count.
uint32_t ProgressPosition(uint64_t total, uint64_t done);

// The room rule: what the plan needs on a volume of `unitBytes` allocation units, at its fullest
// moment. Each new directory takes one unit; each new file its size in whole units; a replaced
// file its complete new copy beside the old one until the rename frees the old one
// (`oldSize(context, entry)` gives the size of the old file that the step of list entry `entry`
// replaces).
uint64_t RoomNeeded(const InstallPlan& plan, uint64_t unitBytes,
                    uint64_t (*oldSize)(void* context, uint32_t entry), void* context);

// The room step's verdict: "needs N KB, M KB available" (in the log), and the refusal's text when
// `needed` exceeds `available`.
StepOutcome RoomOutcome(uint64_t needed, uint64_t available);

}  // namespace app
