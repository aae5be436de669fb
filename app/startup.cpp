// The start-up sequence: everything that decides whether an update runs happens here, before the
// progress dialog is first shown. Each step either goes on or ends the process.
#include "app/device_paths.h"
#include "app/resource.h"
#include "app/update_dlg.h"
#include "platform/file.h"

using app::kPackagePath;

namespace {

constexpr const char16_t* kLoaderMutexName = u"RURodera";
constexpr int kPackageQueries = 4;  // with 200 ms between them: about 600 ms for a late card
constexpr uint32_t kPollMilliseconds = 200;

bool PackagePresent() {
    return platform::GetAttributes(kPackagePath) != platform::kInvalidFileAttributes;
}

}  // namespace

bool CUpdateDlg::OnInitDialog() {
    platform::Dialog::OnInitDialog();  // binds m_progress through the data exchange
    PrepareWindow();
    if (!WaitForPackage()) {
        platform::ExitProcess(0);
    }
    WaitForLoaderToExit();
    OpenPackage();
    RequireTrustedSignature();
    RunVersionGate();
    StartDecodeThread();
    return true;  // the framework sets the focus and shows the dialog
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
bool CUpdateDlg::WaitForPackage() {
    for (int query = 1; query <= kPackageQueries; ++query) {
        if (PackagePresent()) {
            break;
        }
        if (query < kPackageQueries) {
            platform::Sleep(kPollMilliseconds);
        }
    }
    return PackagePresent();
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

void CUpdateDlg::OpenPackage() {
    if (PackageOpen(kPackagePath, &m_package, &m_entries, &m_entryCount, 0) == 0) {
        m_package = nullptr;  // nothing to close
        RejectInvalidPackage();
    }
}

void CUpdateDlg::StartDecodeThread() {
    m_decodeRunning = true;
    m_hDecodeThread = platform::CreateThread(&DecodeThreadProc, this);
    if (m_hDecodeThread == nullptr) {
        m_decodeRunning = false;
        ShowMessageBox(u"Startup Decode Thread Fial", u"Error",
                       platform::kMbOk | platform::kMbIconStop);
        ClosePackageAndExit();
    }
    platform::CloseHandle(m_hDecodeThread);  // the thread runs on by itself; nobody waits for it
}

void CUpdateDlg::RejectInvalidPackage() {
    ShowMessageBox(u"Invalid update File", u"Error", platform::kMbOk | platform::kMbIconStop);
    ClosePackageAndExit();
}

void CUpdateDlg::ClosePackageAndExit() {
    PackageClose(m_package);
    m_package = nullptr;
    platform::ExitProcess(0);
}
