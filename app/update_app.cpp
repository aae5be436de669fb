#include "app/update_app.h"

#include "app/update_dlg.h"

CUpdateApp::~CUpdateApp() = default;

bool CUpdateApp::InitInstance() {
    CUpdateDlg dialog(nullptr);
    SetMainWindow(&dialog);
    dialog.DoModal();
    SetMainWindow(nullptr);
    return false;
}
