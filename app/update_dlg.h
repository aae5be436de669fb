// The installer's main dialog: the progress dialog whose initialisation runs the whole start-up
// sequence (wait for the package and the loader, open the package, the version gate) and starts
// the decode thread, and whose handler of WM_DECODE_DONE ends the update.
//
// Each step returns its outcome (step_outcome.h); every outcome goes to the technician's log. A
// step that stops the run ends the process with status 0, after at most one message box, in one
// place of the initialisation (EndRun) or of the decode thread's end (OnDecodeDone).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/run_log.h"
#include "app/step_outcome.h"
#include "app/update_decision.h"
#include "package/install_plan.h"
#include "package/package.h"
#include "package/verify.h"
#include "platform/system.h"
#include "platform/ui.h"

// Posted by the decode thread to the main dialog when the extraction has ended.
// wParam: 1 when every entry was extracted (and the package closed), 0 on failure. lParam: 0.
inline constexpr uint32_t WM_DECODE_DONE = 10025;

// Progress-bar position (0..100) for `done` of `total` compressed bytes. A total of 0 gives 0 and a
// count past the total gives 100, so the bar never leaves its range; no overflow for any count.
uint32_t ProgressPosition(uint64_t total, uint64_t done);

// Progress function of the decode thread; `dialog` is the CUpdateDlg. Moves its progress bar,
// synchronously, to the percentage of compressed package bytes consumed.
void ExtractProgress(void* dialog, uint64_t totalBytes, uint64_t doneBytes, const char16_t* name,
                     uint64_t entryBytes, uint64_t entryDoneBytes, bool firstBlock);

// Entry of the decode thread; `parameter` is the CUpdateDlg. Extracts the package onto the flash
// volume, keeps the outcome in the dialog, posts WM_DECODE_DONE and returns 0.
uint32_t DecodeThreadProc(void* parameter);

class CUpdateDlg : public platform::Dialog {
  public:
    explicit CUpdateDlg(platform::Dialog* parent = nullptr);
    ~CUpdateDlg() override;

    // Unpacks the package's manifest alone into "\" and reads its values into `facts`; also
    // decides the plan of the package's names, which finds the manifest (see install_plan.h).
    // Stops the run when an entry's name refuses the package or the manifest cannot be unpacked
    // or read as a settings file. A package without a manifest goes on with empty values.
    app::StepOutcome CheckPackageManifest(app::UpdateFacts& facts);

    // Handler of WM_DECODE_DONE; does not return. After a failed extraction: tells the user and
    // ends the program. After a successful one: copies the card's logo, asks for the card to be
    // removed and restarts the device.
    intptr_t OnDecodeDone(uintptr_t wParam, intptr_t lParam);

    // The stored name of catalogue entry `index`, for a report.
    std::u16string EntryName(uint32_t index) const;
    // The outcome of a check or extraction that failed with `problem`.
    app::StepOutcome ProblemOutcome(app::Step step, app::Ending ending,
                                    const PackageProblem& problem) const;

    // Fields. The decode thread reads m_package, m_installOrder and m_hProgressBar (and the
    // dialog's window handle), all written before it starts and not changed while it runs, and
    // writes m_extraction before it posts WM_DECODE_DONE.
    platform::IconHandle m_hIcon;
    platform::ProgressBar m_progress;
    platform::WindowHandle m_hProgressBar;
    platform::Handle m_hDecodeThread;
    PackageArchive* m_package;
    PackageEntry** m_entries;  // the catalogue, borrowed from the package
    uint32_t m_entryCount;
    // The entries in the order the decode thread extracts them: catalogue order with the manifest
    // moved to the end, so the new installed version record is the last file written. Owned by
    // the dialog; the pointers belong to the package.
    std::vector<PackageEntry*> m_installOrder;
    // The extraction plan the order comes from, decided by the version gate.
    InstallPlan m_plan;
    // True from the start of the decode thread until WM_DECODE_DONE is handled. Only the
    // dialog's thread reads or writes it.
    bool m_decodeRunning;
    // The decode thread's outcome, read once WM_DECODE_DONE has arrived.
    app::StepOutcome m_extraction;

  protected:
    void DoDataExchange(platform::DataExchange& exchange) override;
    // The start-up sequence. Returns true with the decode thread running; ends the process on
    // every other outcome.
    bool OnInitDialog() override;
    // Enter and Escape: ignored while the decode thread runs, since ending the dialog would end
    // the program under a running extraction.
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam, intptr_t& result) override;

  private:
    // Logs `outcome`, tells the observer and keeps it when it stops the run; true when the run
    // goes on.
    bool Proceed(const app::StepOutcome& outcome);
    // Shows the stopping outcome's message and ends the process with status 0.
    [[noreturn]] void EndRun(const app::StepOutcome& outcome);

    // Start-up steps, in order.
    void PrepareWindow();
    app::StepOutcome WaitForPackage();
    void WaitForLoaderToExit();
    app::StepOutcome OpenPackage();
    app::StepOutcome RequireTrustedSignature();
    bool RunVersionGate();
    app::StepOutcome StartDecodeThread();

    // Version-gate steps.
    app::StepOutcome Decide(const app::UpdateFacts& facts, app::UpdateDecision& decision);
    app::StepOutcome ConfirmFullUpdate(const std::u16string& packageVersion,
                                       const char16_t* installedVersion);
    app::StepOutcome VerifyWholePackage();
    app::StepOutcome PlanInstall(PlanTree tree);
    app::StepOutcome RequireFreeSpace(bool full);
    app::StepOutcome PurgeFlashVolume();

    // Completion steps.
    app::StepOutcome CopyPowerOffLogo();
    app::StepOutcome RequestRestart();

    app::RunLog m_log;
    app::StepOutcome m_stop;  // the outcome that stopped the run
};
