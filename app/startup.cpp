// The start-up sequence: everything that decides whether an update runs happens here, before the
// progress dialog is first shown. Each step returns its outcome; the first that stops the run
// ends it in EndRun.
#include "app/device_paths.h"
#include "app/resource.h"
#include "app/update_dlg.h"
#include "platform/file.h"

using app::Ending;
using app::kPackagePath;
using app::Step;

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
    if (Proceed(WaitForPackage()) && (WaitForLoaderToExit(), Proceed(OpenPackage())) &&
        Proceed(RequireTrustedSignature()) && RunVersionGate() && Proceed(StartDecodeThread())) {
        return true;  // the framework sets the focus and shows the dialog
    }
    EndRun(m_stop);
}

bool CUpdateDlg::Proceed(const app::StepOutcome& outcome) {
    m_log.Add(outcome);
    app::ReportStep(outcome);
    if (!outcome.GoesOn()) {
        m_stop = outcome;
    }
    return outcome.GoesOn();
}

void CUpdateDlg::EndRun(const app::StepOutcome& outcome) {
    const app::EndingBox box = app::BoxOf(outcome);
    if (box.shown && box.standard) {
        platform::StandardMessageBox(box.text.c_str(), box.type);
    } else if (box.shown) {
        ShowMessageBox(box.text.c_str(), box.caption.c_str(), box.type);
    }
    PackageClose(m_package);
    m_package = nullptr;
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

app::StepOutcome CUpdateDlg::OpenPackage() {
    if (PackageOpen(kPackagePath, &m_package, &m_entries, &m_entryCount, 0) == 0) {
        m_package = nullptr;  // nothing to close
        app::StepOutcome outcome =
            app::Stop(Step::kOpen, Ending::kInvalidPackage, "not a readable package");
        outcome.systemError = platform::LastFileError();
        return outcome;
    }
    return app::Done(Step::kOpen, std::to_string(m_entryCount) + " entries");
}

app::StepOutcome CUpdateDlg::StartDecodeThread() {
    m_decodeRunning = true;
    m_hDecodeThread = platform::CreateThread(&DecodeThreadProc, this);
    if (m_hDecodeThread == nullptr) {
        m_decodeRunning = false;
        return app::Stop(Step::kDecodeThread, Ending::kThreadFailed, "cannot start the thread");
    }
    platform::CloseHandle(m_hDecodeThread);  // the thread runs on by itself; nobody waits for it
    return app::Done(Step::kDecodeThread,
                     "extracting " + std::to_string(m_installOrder.size()) + " entries");
}

std::u16string CUpdateDlg::EntryName(uint32_t index) const {
    PackageEntryInfo info{};
    if (index >= m_entryCount || PackageGetEntryInfo(m_package, m_entries[index], &info) == 0) {
        return {};
    }
    return info.name;
}

app::StepOutcome CUpdateDlg::ProblemOutcome(app::Step step, app::Ending ending,
                                            const PackageProblem& problem) const {
    const std::string reason = problem.fault == PackageFault::kPlanRefused
                                   ? PlanFaultText(static_cast<PlanFault>(problem.expected))
                                   : PackageFaultText(problem.fault);
    return app::Stop(step, ending, reason, EntryName(problem.entryIndex));
}
