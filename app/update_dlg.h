// The installer's main dialog: the progress dialog. Its initialisation starts the update session
// (update_session.h) before the dialog is first shown and then the decode thread; its handler of
// WM_DECODE_DONE has the session finish the update. The dialog only asks (the confirmation, the
// card's removal), shows (the progress bar, message boxes) and forwards: every decision and every
// step's order is the session's.
//
// Every outcome goes to the technician's log and to the record the program's entry handed down.
// A step that stops the run ends the process with status 0, after at most one message box, in one
// place (EndRun).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "app/run_log.h"
#include "app/update_session.h"
#include "platform/system.h"
#include "platform/ui.h"

// Posted by the decode thread to the main dialog when the extraction has ended.
// wParam: 1 when every entry was extracted, 0 on failure. lParam: 0.
inline constexpr uint32_t WM_DECODE_DONE = 10025;

// Entry of the decode thread; `parameter` is the CUpdateDlg. Created before anything on the device
// is written, it waits until the session's start is through: then runs the session's extraction,
// keeps its outcome in the dialog, posts WM_DECODE_DONE and returns 0; or, when the start
// stopped, returns 0 at once.
uint32_t DecodeThreadProc(void* parameter);

class CUpdateDlg : public platform::Dialog, private app::SessionObserver {
  public:
    // `record`: told of every outcome besides the log (a host program's record); may be null.
    explicit CUpdateDlg(app::SessionObserver* record = nullptr, platform::Dialog* parent = nullptr);
    ~CUpdateDlg() override;

    // Handler of WM_DECODE_DONE; does not return: the session finishes the update
    // (UpdateSession::Finish) and the run ends.
    intptr_t OnDecodeDone(uintptr_t wParam, intptr_t lParam);

  private:
    app::DeviceState m_device;  // the device's own files; made before the session that reads them
    app::RunLog m_log;          // the technician's log, which the session writes

  public:
    // Fields the decode thread uses: the session (its extraction alone) and the progress bar's
    // handle, both set before it starts; it writes m_extraction before it posts WM_DECODE_DONE.
    app::UpdateSession m_session;
    platform::WindowHandle m_hProgressBar;
    app::StepOutcome m_extraction;
    // True from the start of the decode thread until WM_DECODE_DONE is handled. Only the
    // dialog's thread reads or writes it.
    bool m_decodeRunning;

    // The decode thread's wait: true when it is to extract, false when the start stopped.
    bool AwaitGo();

  protected:
    void DoDataExchange(platform::DataExchange& exchange) override;
    // The session's start. Returns true with the decode thread running; ends the process on every
    // other outcome.
    bool OnInitDialog() override;
    // Enter and Escape: ignored while the decode thread runs, since ending the dialog would end
    // the program under a running extraction.
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam, intptr_t& result) override;

  private:
    void OnStep(const app::StepOutcome& outcome) override;
    void OnSignature(const app::SignatureReport& report) override;
    // The confirmation before a full update (the session's question).
    static bool Confirm(void* dialog, const std::u16string& packageVersion,
                        const std::u16string& installedVersion, std::u16string& question);
    // The completion's box, which asks for the card (the session's releaseCard).
    static void ReleaseCard(void* dialog, const app::EndingBox& box);

    void PrepareWindow();
    // The session's startWorker: creates the decode thread, which waits for LetGo. False when
    // the thread could not be created.
    static bool StartDecodeThread(void* dialog);
    void LetGo(bool extract);
    // Shows the stopping outcome's message and ends the process with status 0.
    [[noreturn]] void EndRun(const app::StepOutcome& outcome);

    app::SessionObserver* m_record;
    platform::IconHandle m_hIcon;
    platform::ProgressBar m_progress;
    // The decode thread's signal: 0 waiting, 1 extract, -1 end.
    std::mutex m_goLock;
    std::condition_variable m_goSignal;
    int m_go = 0;
};
