// CUpdateDlg: construction, data exchange, the keyboard routes and the message map. The start-up
// sequence is in startup.cpp, the version gate in version_gate.cpp, the manifest check in
// manifest_check.cpp, the decode thread in decode_thread.cpp and the end in completion.cpp.
#include "app/update_dlg.h"

#include "app/resource.h"

CUpdateDlg::CUpdateDlg(platform::Dialog* parent)
    : platform::Dialog(IDD_UPDATE_DIALOG, parent),
      m_hIcon(platform::LoadAppIcon(IDR_MAINFRAME)),
      m_hProgressBar(nullptr),
      m_hDecodeThread(nullptr),
      m_package(nullptr),
      m_entries(nullptr),
      m_entryCount(0),
      m_decodeRunning(false) {}

// Every run ends in EndRun, which closes the package; a dialog ended otherwise (Enter or Escape
// while no extraction runs) closes it here.
CUpdateDlg::~CUpdateDlg() {
    if (m_package != nullptr) {
        PackageClose(m_package);
    }
}

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
