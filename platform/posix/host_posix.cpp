// Host configuration of the POSIX platform: device root, presenter, time scale and the host
// program's observers.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/file.h"
#include "platform/posix/host.h"
#include "platform/posix/runtime.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace platform {
namespace posix {
namespace {

struct HostState {
    std::atomic<double> timeScale{1.0};
    std::mutex presenterMutex;
    std::unique_ptr<Presenter> presenter;
    std::mutex observerMutex;
    host::Observers observers;
    std::atomic<int> exitStatus{0};
    std::atomic<bool> exitRecorded{false};
    std::once_flag exitHandler;
};

// Never destroyed: exit handlers and threads that outlive main still use it.
HostState& State() {
    static HostState* state = new HostState;
    return *state;
}

host::Observers CurrentObservers() {
    HostState& s = State();
    std::lock_guard lock(s.observerMutex);
    return s.observers;
}

void ReportExit() {
    HostState& s = State();
    if (!s.exitRecorded.exchange(true)) {
        if (const auto exit = CurrentObservers().exit) {
            exit(s.exitStatus.load());
        }
    }
}

}  // namespace

Presenter& CurrentPresenter() {
    HostState& s = State();
    std::lock_guard lock(s.presenterMutex);
    if (!s.presenter) {
        s.presenter = MakeHeadlessPresenter(host::Answer::kTimeout, 0);
    }
    return *s.presenter;
}

double TimeScale() {
    return State().timeScale;
}

Clock::duration Scaled(uint32_t milliseconds) {
    const double scale = TimeScale();
    if (!(scale > 0)) {
        return Clock::duration::zero();
    }
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(milliseconds * scale));
}

void RecordExitStatus(int status) {
    State().exitStatus = status;
}

void EventMessageBox(const std::u16string& caption, const std::u16string& text, uint32_t type) {
    if (const auto observer = CurrentObservers().messageBox) {
        observer(caption, text, type);
    }
}

void EventProgress(int position) {
    if (const auto observer = CurrentObservers().progress) {
        observer(position);
    }
}

}  // namespace posix

namespace host {

void Configure(const Options& options) {
    posix::HostState& s = posix::State();
    s.timeScale = options.timeScale > 0 ? options.timeScale : 0.0;
    {
        std::lock_guard lock(s.presenterMutex);
        s.presenter = options.ui == UiKind::kTerminal
                          ? posix::MakeTerminalPresenter()
                          : posix::MakeHeadlessPresenter(options.answer, options.answeredDialog);
    }
    s.exitRecorded = false;
    std::call_once(s.exitHandler, [] { std::atexit(posix::ReportExit); });
}

void SetObservers(Observers observers) {
    posix::HostState& s = posix::State();
    std::lock_guard lock(s.observerMutex);
    s.observers = std::move(observers);
}

void RunApplication() {
    if (Application* app = Application::Current()) {
        app->InitInstance();
    }
    ExitProcess(0);
}

}  // namespace host
}  // namespace platform
