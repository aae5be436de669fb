// CUpdateDlg: the start-up waits, the session's preparation, the decode thread and the end.
#include "app/update_dlg.h"

#include "app/device_paths.h"
#include "app/resource.h"
#include "app/tip_dlg.h"
#include "platform/file.h"

using app::Ending;
using app::Step;

namespace {

constexpr const char16_t* kLoaderMutexName = u"RURodera";
constexpr int kPackageQueries = 4;  // with 200 ms between them: about 600 ms for a late card
constexpr uint32_t kPollMilliseconds = 200;
constexpr uint32_t kDelayBeforeRestartMs = 3000;

bool PackagePresent() {
    return platform::GetAttributes(app::kPackagePath) != platform::kInvalidFileAttributes;
}

// Sent, not posted: the bar is current before the next block is read.
void MoveProgressBar(void* bar, uint32_t position) {
    platform::SendMessageTo(static_cast<platform::WindowHandle>(bar), platform::kMsgProgressSetPos,
                            position, 0);
}

}  // namespace

CUpdateDlg::CUpdateDlg(app::SessionObserver* record, platform::Dialog* parent)
    : platform::Dialog(IDD_UPDATE_DIALOG, parent),
      m_session(m_device, {true, &CUpdateDlg::Confirm, this}, this),
      m_hProgressBar(nullptr),
      m_decodeRunning(false),
      m_record(record),
      m_hIcon(platform::LoadAppIcon(IDR_MAINFRAME)) {}

CUpdateDlg::~CUpdateDlg() = default;

void CUpdateDlg::DoDataExchange(platform::DataExchange& exchange) {
    platform::Dialog::DoDataExchange(exchange);
    exchange.Control(IDC_PROGRESS, m_progress);
}

void CUpdateDlg::OnOK() {
    if (m_decodeRunning) {
        return;
    }
    platform::Dialog::OnOK();
}

void CUpdateDlg::OnCancel() {
    if (m_decodeRunning) {
        return;
    }
    platform::Dialog::OnCancel();
}

bool CUpdateDlg::OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam, intptr_t& result) {
    switch (message) {
        case platform::kMsgQueryDragIcon:
            result = reinterpret_cast<intptr_t>(m_hIcon);
            return true;
        case WM_DECODE_DONE:
            result = OnDecodeDone(wParam, lParam);
            return true;
        case platform::kMsgSysCommand:  // the framework's default handling
        default:
            return platform::Dialog::OnMessage(message, wParam, lParam, result);
    }
}

void CUpdateDlg::OnStep(const app::StepOutcome& outcome) {
    if (!m_cardReleased) {
        m_log.Add(outcome);
    }
    if (m_record != nullptr) {
        m_record->OnStep(outcome);
    }
}

void CUpdateDlg::OnSignature(const app::SignatureReport& report) {
    if (m_record != nullptr) {
        m_record->OnSignature(report);
    }
}

bool CUpdateDlg::Confirm(void* dialog, const std::u16string& packageVersion,
                         const std::u16string& installedVersion, std::u16string& question) {
    CTipDlg confirmation(packageVersion, installedVersion, static_cast<CUpdateDlg*>(dialog));
    question = confirmation.Question();
    return confirmation.DoModal() == platform::kIdOk;
}

bool CUpdateDlg::OnInitDialog() {
    platform::Dialog::OnInitDialog();  // binds m_progress through the data exchange
    PrepareWindow();
    if (m_session.Proceed(WaitForPackage()) &&
        (WaitForLoaderToExit(), m_session.Prepare(app::kPackagePath)) &&
        m_session.Proceed(StartDecodeThread())) {
        return true;  // the framework sets the focus and shows the dialog
    }
    EndRun(m_session.Stopped());
}

void CUpdateDlg::EndRun(const app::StepOutcome& outcome) {
    const app::EndingBox box = app::BoxOf(outcome);
    if (box.shown && box.standard) {
        platform::StandardMessageBox(box.text.c_str(), box.type);
    } else if (box.shown) {
        ShowMessageBox(box.text.c_str(), box.caption.c_str(), box.type);
    }
    m_session.Close();
    platform::ExitProcess(0);
}

void CUpdateDlg::PrepareWindow() {
    SetTopmost();
    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);
    CenterOnDesktop();
    m_progress.SetRange(0, 100);
    m_hProgressBar = m_progress.Handle();
}

// Gives a card that is inserted late a moment to show up: up to four queries 200 ms apart, then
// one more that decides.
app::StepOutcome CUpdateDlg::WaitForPackage() {
    for (int query = 1; query <= kPackageQueries; ++query) {
        if (PackagePresent()) {
            break;
        }
        if (query < kPackageQueries) {
            platform::Sleep(kPollMilliseconds);
        }
    }
    if (!PackagePresent()) {
        return app::Stop(Step::kPackage, Ending::kSilent, "no \\SDMMC\\VORIZ.QZP");
    }
    return app::Done(Step::kPackage, "\\SDMMC\\VORIZ.QZP found");
}

// The loader program holds its named mutex while it runs. Creating the mutex tells whether it
// exists; the installer never keeps it.
void CUpdateDlg::WaitForLoaderToExit() {
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

app::StepOutcome CUpdateDlg::StartDecodeThread() {
    m_decodeRunning = true;
    platform::Handle thread = platform::CreateThread(&DecodeThreadProc, this);
    if (thread == nullptr) {
        m_decodeRunning = false;
        return app::Stop(Step::kDecodeThread, Ending::kThreadFailed, "cannot start the thread");
    }
    platform::CloseHandle(thread);  // the thread runs on by itself; nobody waits for it
    return app::Done(Step::kDecodeThread,
                     "extracting " + std::to_string(m_session.EntriesToExtract()) + " entries");
}

uint32_t DecodeThreadProc(void* parameter) {
    auto* dialog = static_cast<CUpdateDlg*>(parameter);
    dialog->m_extraction = dialog->m_session.Extract(&MoveProgressBar, dialog->m_hProgressBar);
    platform::PostMessageTo(dialog->Handle(), WM_DECODE_DONE, dialog->m_extraction.GoesOn() ? 1 : 0,
                            0);
    return 0;
}

// A failed extraction ends here: the flash volume keeps what was written; no logo copy, no
// record, no restart.
intptr_t CUpdateDlg::OnDecodeDone(uintptr_t, intptr_t) {
    m_decodeRunning = false;
    if (m_session.Proceed(m_extraction) && (m_session.Proceed(m_session.CopyPowerOffLogo()),
                                            m_session.Proceed(m_session.WriteRecord()))) {
        // The record's line was the log's last: nothing is written to a card the user is now
        // asked to pull out. What follows reaches only the host's record.
        m_cardReleased = true;
        ShowMessageBox(u"Please remove SDMMC card.\nClick OK to restart!", u"Setup Completely",
                       platform::kMbOk);
        platform::Sleep(kDelayBeforeRestartMs);
        m_session.Proceed(m_session.RequestRestart());
    }
    EndRun(m_session.Stopped());
}
