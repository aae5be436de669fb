// The installer's main dialog: the progress dialog whose initialisation runs the whole start-up
// sequence (wait for the package and the loader, open the package, the version gate) and starts
// the decode thread, and whose handler of WM_DECODE_DONE ends the update.
//
// Every path that does not lead to a running decode thread ends the process inside the
// initialisation with status 0, after at most one message box.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/install_plan.h"
#include "package/package.h"
#include "platform/system.h"
#include "platform/ui.h"

// Posted by the decode thread to the main dialog when the extraction has ended.
// wParam: 1 when every entry was extracted (and the package closed), 0 on failure. lParam: 0.
inline constexpr uint32_t WM_DECODE_DONE = 10025;

// Progress-bar position (0..100) for `done` of `total` compressed bytes, both given as low and
// high 32-bit words. Computed in 64 bits so that large packages neither overflow nor lose
// precision. A total of 0 gives 0 and a count past the total gives 100, so the bar never leaves
// its range.
uint32_t ProgressPosition(uint32_t totalLow, uint32_t totalHigh, uint32_t doneLow,
                          uint32_t doneHigh);

// Progress function of the manifest's own extraction: does nothing.
void IgnoreProgress(uint32_t totalLow, uint32_t totalHigh, uint32_t doneLow, uint32_t doneHigh,
                    const char16_t* name, uint32_t entryLow, uint32_t entryHigh,
                    uint32_t entryDoneLow, uint32_t entryDoneHigh, uint32_t firstBlock);

// Progress function of the decode thread: moves the main dialog's progress bar, synchronously,
// to the percentage of compressed package bytes consumed. Finds the dialog through the
// application's main window.
void ExtractProgress(uint32_t totalLow, uint32_t totalHigh, uint32_t doneLow, uint32_t doneHigh,
                     const char16_t* name, uint32_t entryLow, uint32_t entryHigh,
                     uint32_t entryDoneLow, uint32_t entryDoneHigh, uint32_t firstBlock);

// Entry of the decode thread; `parameter` is the CUpdateDlg. Extracts the package onto the flash
// volume, posts WM_DECODE_DONE and returns 0.
uint32_t DecodeThreadProc(void* parameter);

class CUpdateDlg : public platform::Dialog {
  public:
    explicit CUpdateDlg(platform::Dialog* parent = nullptr);
    ~CUpdateDlg() override;

    // Finds the manifest entry "VORIZ\INDEX.INI" (first match, any letter case), unpacks it alone
    // into "\" and reads the package version into `packageVersion`, the patch flag into
    // m_isPatch and the required installed version into m_oldVersion. True when the package may
    // be used (also when it has no manifest); false when an entry cannot be inspected, the
    // manifest cannot be unpacked or cannot be read as a settings file.
    bool CheckPackageManifest(std::u16string& packageVersion);

    // Handler of WM_DECODE_DONE. After a failed extraction: tells the user and ends the dialog
    // (returns 1). After a successful one: copies the card's logo, asks for the card to be
    // removed and restarts the device; it does not return.
    intptr_t OnDecodeDone(uintptr_t wParam, intptr_t lParam);

    // Fields. The decode thread reads m_package, m_installOrder and m_hProgressBar (and the
    // dialog's window handle); all are written before it starts and not changed while it runs.
    platform::IconHandle m_hIcon;
    platform::ProgressBar m_progress;
    platform::WindowHandle m_hProgressBar;
    platform::Handle m_hDecodeThread;
    PackageArchive* m_package;
    PackageEntry** m_entries;  // the catalogue, borrowed from the package
    uint32_t m_entryCount;
    int32_t m_isPatch;
    std::u16string m_oldVersion;
    // The entries in the order the decode thread extracts them: catalogue order with the manifest
    // moved to the end, so the new installed version record is the last file written. Owned by
    // the dialog; the pointers belong to the package.
    std::vector<PackageEntry*> m_installOrder;
    // The extraction plan the order comes from, decided by the version gate.
    InstallPlan m_plan;
    // True from the start of the decode thread until WM_DECODE_DONE is handled. Only the
    // dialog's thread reads or writes it.
    bool m_decodeRunning;

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
    // Start-up steps, in order.
    void PrepareWindow();
    bool WaitForPackage();
    void WaitForLoaderToExit();
    void OpenPackage();
    void RunVersionGate();
    void StartDecodeThread();

    // Version-gate steps.
    void ConfirmFullUpdate(const std::u16string& packageVersion, const char16_t* installedVersion);
    void VerifyWholePackage();
    void PlanInstall(PlanTree tree);
    void RequireFreeSpace(bool full);
    void PurgeFlashVolume();

    // Completion steps.
    void CopyPowerOffLogo();
    [[noreturn]] void RestartDevice();

    // Ends the process after an abort during start-up.
    [[noreturn]] void RejectInvalidPackage();
    [[noreturn]] void ClosePackageAndExit();
};
