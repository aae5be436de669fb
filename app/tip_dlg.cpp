#include "app/tip_dlg.h"

#include <utility>

#include "app/resource.h"

namespace {

constexpr uint32_t kTimeoutMs = 5000;

}  // namespace

CTipDlg::CTipDlg(std::u16string updateVersion, std::u16string currentVersion,
                 platform::Dialog* parent)
    : platform::Dialog(IDD_TIP_DIALOG, parent),
      m_updateVersion(std::move(updateVersion)),
      m_currentVersion(std::move(currentVersion)) {}

CTipDlg::~CTipDlg() = default;

std::u16string CTipDlg::Question() const {
    return u"Update Version:  " + m_updateVersion + u"\nCurrent Version: " + m_currentVersion +
           u"\n\n" + u"Need to update the whole system?\n\n";
}

bool CTipDlg::OnInitDialog() {
    platform::Dialog::OnInitDialog();
    SetItemText(IDC_TIP_TEXT, Question().c_str());
    SetTimer(IDT_TIP_TIMEOUT, kTimeoutMs);
    return true;  // the focus goes to the first control that takes it: OK
}

void CTipDlg::OnCommand(int controlId) {
    if (controlId == IDC_TIP_OK) {
        EndDialog(platform::kIdOk);
    } else if (controlId == IDC_TIP_CANCEL) {
        EndDialog(platform::kIdCancel);
    } else {
        platform::Dialog::OnCommand(controlId);
    }
}

// No answer in time counts as OK. Ending the dialog also ends the timer, so OK and Cancel leave
// it running.
void CTipDlg::OnTimer(uintptr_t timerId) {
    if (timerId == IDT_TIP_TIMEOUT) {
        KillTimer(IDT_TIP_TIMEOUT);
        EndDialog(platform::kIdOk);
    }
    platform::Dialog::OnTimer(timerId);
}
