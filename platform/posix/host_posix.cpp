// Host configuration of the POSIX platform: device root, presenter, time scale, the JSON-lines
// event record and the message observer.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
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
    std::mutex eventMutex;
    std::FILE* events = nullptr;
    std::atomic<double> timeScale{1.0};
    std::mutex presenterMutex;
    std::unique_ptr<Presenter> presenter;
    std::mutex observerMutex;
    host::MessageObserver observer;
    std::atomic<int> exitStatus{0};
    std::atomic<bool> exitRecorded{false};
    std::once_flag exitHandler;
};

// Never destroyed: exit handlers and threads that outlive main still use it.
HostState& State() {
    static HostState* state = new HostState;
    return *state;
}

void Emit(const nlohmann::ordered_json& event) {
    host::EmitEvent(event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

void EmitExitEvent() {
    HostState& s = State();
    if (!s.exitRecorded.exchange(true)) {
        Emit({{"event", "exit"}, {"status", s.exitStatus.load()}});
    }
}

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') {
        return path;
    }
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

const char* IconName(uint32_t type) {
    switch (type & 0xF0) {
        case 0x10:
            return "stop";
        case 0x20:
            return "question";
        case 0x30:
            return "exclamation";
        case 0x40:
            return "information";
        default:
            return "none";
    }
}

}  // namespace

std::string Utf8(const std::u16string& text) {
    return Utf16ToUtf8(text);
}

Presenter& CurrentPresenter() {
    HostState& s = State();
    std::lock_guard lock(s.presenterMutex);
    if (!s.presenter) {
        s.presenter = MakeHeadlessPresenter(host::Answer::kTimeout);
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

void NotifyObserver(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    host::MessageObserver observer;
    {
        HostState& s = State();
        std::lock_guard lock(s.observerMutex);
        observer = s.observer;
    }
    if (observer) {
        observer(message, wParam, lParam);
    }
}

void RecordExitStatus(int status) {
    State().exitStatus = status;
}

void EventMessageBox(const std::u16string& caption, const std::u16string& text, uint32_t type) {
    Emit({{"event", "messagebox"},
          {"caption", Utf8(caption)},
          {"text", Utf8(text)},
          {"icon", IconName(type)}});
}

void EventConfirm(const std::u16string& text, intptr_t result) {
    Emit({{"event", "confirm"}, {"text", Utf8(text)}, {"result", static_cast<int64_t>(result)}});
}

void EventPurge(int result) {
    Emit({{"event", "purge"}, {"result", result}});
}

void EventProgress(int position) {
    Emit({{"event", "progress"}, {"position", position}});
}

}  // namespace posix

namespace host {

void Configure(const Options& options) {
    posix::HostState& s = posix::State();
    SetDeviceRoot(options.deviceDirectory);
    s.timeScale = options.timeScale > 0 ? options.timeScale : 0.0;
    {
        std::lock_guard lock(s.presenterMutex);
        s.presenter = options.ui == UiKind::kTerminal
                          ? posix::MakeTerminalPresenter()
                          : posix::MakeHeadlessPresenter(options.answer);
    }
    {
        std::lock_guard lock(s.eventMutex);
        if (s.events != nullptr) {
            std::fclose(s.events);
            s.events = nullptr;
        }
        if (!options.eventsFile.empty()) {
            s.events = std::fopen(options.eventsFile.c_str(), "a");
        }
    }
    // The vendor stand-in runs inside this process but knows nothing of it: it finds the record
    // and the device image through the environment.
    if (options.eventsFile.empty()) {
        unsetenv("QZP_EVENTS_FILE");
    } else {
        setenv("QZP_EVENTS_FILE", posix::Absolute(options.eventsFile).c_str(), 1);
    }
    setenv("QZP_DEVICE_ROOT", posix::Absolute(DeviceRoot()).c_str(), 1);
    s.exitRecorded = false;
    std::call_once(s.exitHandler, [] { std::atexit(posix::EmitExitEvent); });
}

void EmitEvent(const std::string& json) {
    posix::HostState& s = posix::State();
    std::lock_guard lock(s.eventMutex);
    if (s.events == nullptr) {
        return;
    }
    std::fputs(json.c_str(), s.events);
    std::fputc('\n', s.events);
    std::fflush(s.events);
}

void SetMessageObserver(MessageObserver observer) {
    posix::HostState& s = posix::State();
    std::lock_guard lock(s.observerMutex);
    s.observer = std::move(observer);
}

void RunApplication() {
    if (Application* app = Application::Current()) {
        app->InitInstance();
    }
    ExitProcess(0);
}

}  // namespace host
}  // namespace platform
