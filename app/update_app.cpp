#include "app/update_app.h"

#include "app/update_dlg.h"
#include "platform/system.h"

CUpdateApp::~CUpdateApp() = default;

bool CUpdateApp::InitInstance() {
    CUpdateDlg dialog(record_);
    SetMainWindow(&dialog);
    dialog.DoModal();
    SetMainWindow(nullptr);
    return false;
}
