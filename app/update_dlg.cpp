// CUpdateDlg: the window, the decode thread and the boxes around the update session.
#include "app/update_dlg.h"

#include "app/resource.h"
#include "app/tip_dlg.h"

namespace {

// Sent, not posted: the bar is current before the next block is read.
void MoveProgressBar(void* bar, uint32_t position) {
    platform::SendMessageTo(static_cast<platform::WindowHandle>(bar), platform::kMsgProgressSetPos,
                            position, 0);
}

}  // namespace

CUpdateDlg::CUpdateDlg(app::SessionObserver* record, platform::Dialog* parent)
    : platform::Dialog(IDD_UPDATE_DIALOG, parent),
      // The check before the question reads the whole card: the wait cursor says the device
      // works meanwhile.
      m_session(m_device,
                {true, &CUpdateDlg::Confirm, &CUpdateDlg::ReleaseCard, this,
                 &CUpdateDlg::StartDecodeThread,
                 [](void*, int percent) { platform::ShowBusy(percent); }, &m_log},
                this),
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

void CUpdateDlg::ReleaseCard(void* dialog, const app::EndingBox& box) {
    static_cast<CUpdateDlg*>(dialog)->ShowMessageBox(box.text.c_str(), box.caption.c_str(),
                                                     box.type);
}

bool CUpdateDlg::OnInitDialog() {
    platform::Dialog::OnInitDialog();  // binds m_progress through the data exchange
    PrepareWindow();
    const bool started = m_session.Start();
    LetGo(started);
    if (started) {
        return true;  // the framework sets the focus and shows the dialog
    }
    EndRun(m_session.Stopped());
}

void CUpdateDlg::EndRun(const app::StepOutcome& outcome) {
    app::EndingBox box = app::BoxOf(outcome);
    if (box.standard && platform::Application::Current() != nullptr) {
        box.caption = platform::Application::Current()->Title();
    }
    m_session.CloseLog(box);  // before the box
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

bool CUpdateDlg::StartDecodeThread(void* dialog) {
    auto* self = static_cast<CUpdateDlg*>(dialog);
    self->m_decodeRunning = true;
    platform::Handle thread = platform::CreateThread(&DecodeThreadProc, self);
    if (thread == nullptr) {
        self->m_decodeRunning = false;
        return false;
    }
    platform::CloseHandle(thread);  // the thread runs on by itself; nobody waits for it
    return true;
}

void CUpdateDlg::LetGo(bool extract) {
    {
        const std::lock_guard lock(m_goLock);
        m_go = extract ? 1 : -1;
    }
    m_goSignal.notify_one();
}

bool CUpdateDlg::AwaitGo() {
    std::unique_lock lock(m_goLock);
    m_goSignal.wait(lock, [this] { return m_go != 0; });
    return m_go > 0;
}

uint32_t DecodeThreadProc(void* parameter) {
    auto* dialog = static_cast<CUpdateDlg*>(parameter);
    if (!dialog->AwaitGo()) {
        return 0;  // the start stopped; the process ends
    }
    dialog->m_extraction = dialog->m_session.Extract(&MoveProgressBar, dialog->m_hProgressBar);
    platform::PostMessageTo(dialog->Handle(), WM_DECODE_DONE, dialog->m_extraction.GoesOn() ? 1 : 0,
                            0);
    return 0;
}

intptr_t CUpdateDlg::OnDecodeDone(uintptr_t, intptr_t) {
    m_decodeRunning = false;
    m_session.Finish(m_extraction);
    EndRun(m_session.Stopped());
}
