#include "app/update_app.h"

#include "app/device_paths.h"
#include "app/update_dlg.h"
#include "platform/system.h"

CUpdateApp::~CUpdateApp() = default;

// One installer at a time: two would purge and unpack over each other. The mutex is created
// before any window and its handle stays open until the process ends, which releases it. A second
// installer ends at once, silently, with status 0. When the mutex cannot be created at all the
// installer runs as before.
bool CUpdateApp::InitInstance() {
    platform::Handle running = platform::CreateNamedMutex(app::kInstallerMutexName);
    if (running != nullptr && platform::LastError() == platform::kErrorAlreadyExists) {
        platform::CloseHandle(running);
        platform::ExitProcess(0);
    }
    CUpdateDlg dialog(record_);
    SetMainWindow(&dialog);
    dialog.DoModal();
    SetMainWindow(nullptr);
    return false;
}
