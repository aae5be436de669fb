// POSIX side of the dialog framework: a window registry, one message queue per UI thread, modal
// loops with timers, and the dispatch of messages to the Dialog handlers.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>
#include <unordered_map>

#include "platform/posix/runtime.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace platform {

using posix::Clock;
using posix::QueuedMessage;
using posix::SendState;
using posix::ThreadQueue;
using posix::Window;
using posix::WindowKind;

// The dispatcher's access to the protected handlers of Dialog.
struct DialogAccess {
    static bool InitDialog(Dialog& d) { return d.OnInitDialog(); }
    static intptr_t Handle(Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam);
};

namespace posix {

Window* Window::FindControl(int id) const {
    for (const auto& c : controls) {
        if (c->controlId == id) {
            return c.get();
        }
    }
    return nullptr;
}

Window* Window::FindButton(const std::u16string& buttonText) const {
    for (const auto& c : controls) {
        if (c->controlKind == ControlKind::kButton && c->text == buttonText) {
            return c.get();
        }
    }
    return nullptr;
}

namespace {

struct OwnedControl {
    int id;
    ControlKind kind;
    std::u16string text;
};

struct OwnedTemplate {
    int id;
    bool hasCaption;
    std::u16string caption;
    std::vector<OwnedControl> controls;
};

// Lock order: registry, then a queue, then a send state.
struct Registry {
    std::mutex mutex;
    std::unordered_map<WindowHandle, std::shared_ptr<Window>> windows;
    uintptr_t nextHandle = 1;
    std::vector<OwnedTemplate> templates;
};

// Never destroyed: worker threads may still post while the process runs its exit handlers.
Registry& Reg() {
    static Registry* registry = new Registry;
    return *registry;
}

thread_local std::shared_ptr<ThreadQueue> t_queue;
thread_local std::vector<Window*> t_dialogs;  // live dialogs of this thread, for their timers

const std::shared_ptr<ThreadQueue>& ThisQueue() {
    if (!t_queue) {
        t_queue = std::make_shared<ThreadQueue>();
    }
    return t_queue;
}

std::shared_ptr<Window> NewWindow(WindowKind kind) {
    auto window = std::make_shared<Window>();
    window->kind = kind;
    window->queue = ThisQueue();
    Registry& reg = Reg();
    std::lock_guard lock(reg.mutex);
    window->handle = reinterpret_cast<WindowHandle>(reg.nextHandle++ * 16);
    reg.windows[window->handle] = window;
    return window;
}

}  // namespace

std::shared_ptr<Window> Lookup(WindowHandle handle) {
    Registry& reg = Reg();
    std::lock_guard lock(reg.mutex);
    const auto it = reg.windows.find(handle);
    return it == reg.windows.end() ? nullptr : it->second;
}

namespace {

void Complete(SendState& send, intptr_t result) {
    std::lock_guard lock(send.mutex);
    send.result = result;
    send.done = true;
    send.cv.notify_all();
}

// Removes a window and its controls. Messages still queued for them are dropped; a sender
// waiting on one of them gets 0, so no thread waits for a window that no longer exists.
void Destroy(Window& window) {
    std::vector<WindowHandle> handles{window.handle};
    for (const auto& c : window.controls) {
        handles.push_back(c->handle);
    }
    Registry& reg = Reg();
    std::lock_guard regLock(reg.mutex);
    for (WindowHandle h : handles) {
        reg.windows.erase(h);
    }
    std::lock_guard queueLock(window.queue->mutex);
    auto& messages = window.queue->messages;
    for (auto it = messages.begin(); it != messages.end();) {
        if (std::find(handles.begin(), handles.end(), it->target) != handles.end()) {
            if (it->send) {
                Complete(*it->send, 0);
            }
            it = messages.erase(it);
        } else {
            ++it;
        }
    }
}

// Queues a message for the window's thread. Holding the registry lock while queueing keeps
// Destroy from slipping in between the lookup and the push.
bool Enqueue(WindowHandle target, uint32_t message, uintptr_t wParam, intptr_t lParam,
             std::shared_ptr<SendState> send) {
    Registry& reg = Reg();
    std::lock_guard regLock(reg.mutex);
    const auto it = reg.windows.find(target);
    if (it == reg.windows.end()) {
        return false;
    }
    ThreadQueue& queue = *it->second->queue;
    std::lock_guard queueLock(queue.mutex);
    queue.messages.push_back({target, message, wParam, lParam, std::move(send)});
    queue.cv.notify_all();
    return true;
}

// Under the queue's lock, so that a modal loop about to wait cannot miss the end: it checks
// `ended` under the same lock before it waits.
void EndModal(Window& window, intptr_t result) {
    std::lock_guard lock(window.queue->mutex);
    window.result = result;
    window.ended = true;
    window.queue->cv.notify_all();
}

intptr_t Dispatch(Window& window, uint32_t message, uintptr_t wParam, intptr_t lParam);

intptr_t ClickButton(Window& dialog, int controlId) {
    Window* control = dialog.FindControl(controlId);
    const intptr_t lParam = control ? reinterpret_cast<intptr_t>(control->handle) : 0;
    return Dispatch(dialog, kMsgCommand, static_cast<uintptr_t>(controlId & 0xFFFF), lParam);
}

// The dialog manager's keyboard routes: Enter presses the focused button (IDOK without one),
// Escape is IDCANCEL, C presses the button "Cancel", Tab moves the focus to the next button.
void TranslateKey(Window& dialog, uintptr_t key) {
    switch (key) {
        case kKeyEnter:
            ClickButton(dialog, dialog.focusedControl != 0 ? dialog.focusedControl
                                                           : static_cast<int>(kIdOk));
            break;
        case kKeyEscape:
            ClickButton(dialog, static_cast<int>(kIdCancel));
            break;
        case kKeyCancel: {
            const Window* cancel = dialog.FindButton(u"Cancel");
            ClickButton(dialog, cancel ? cancel->controlId : static_cast<int>(kIdCancel));
            break;
        }
        case kKeyTab: {
            std::vector<int> buttons;
            for (const auto& c : dialog.controls) {
                if (c->controlKind == ControlKind::kButton) {
                    buttons.push_back(c->controlId);
                }
            }
            if (!buttons.empty()) {
                auto it = std::find(buttons.begin(), buttons.end(), dialog.focusedControl);
                dialog.focusedControl =
                    (it == buttons.end() || ++it == buttons.end()) ? buttons.front() : *it;
                CurrentPresenter().Changed(dialog);
            }
            break;
        }
        default:
            break;
    }
}

intptr_t ControlMessage(Window& control, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (control.controlKind != ControlKind::kProgressBar) {
        return 0;
    }
    if (message == kMsgProgressSetRange) {
        const intptr_t previous =
            (control.rangeLow & 0xFFFF) | ((control.rangeHigh & 0xFFFF) << 16);
        const auto packed = static_cast<uint32_t>(lParam);
        control.rangeLow = static_cast<int>(packed & 0xFFFF);
        control.rangeHigh = static_cast<int>(packed >> 16);
        control.position = std::clamp(control.position, control.rangeLow,
                                      std::max(control.rangeLow, control.rangeHigh));
        CurrentPresenter().Changed(*control.owner);
        return previous;
    }
    if (message == kMsgProgressSetPos) {
        const int previous = control.position;
        const long long wanted = static_cast<long long>(static_cast<intptr_t>(wParam));
        control.position = static_cast<int>(std::clamp<long long>(
            wanted, control.rangeLow, std::max(control.rangeLow, control.rangeHigh)));
        EventProgress(control.position);
        CurrentPresenter().Changed(*control.owner);
        return previous;
    }
    return 0;
}

intptr_t Dispatch(Window& window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (window.kind) {
        case WindowKind::kControl:
            return ControlMessage(window, message, wParam, lParam);
        case WindowKind::kMessageBox:
            if (message == kMsgKeyDown &&
                (wParam == kKeyEnter || wParam == kKeyEscape || wParam == ' ')) {
                EndModal(window, kIdOk);
            }
            return 0;
        case WindowKind::kDialog:
            if (message == kMsgKeyDown) {
                TranslateKey(window, wParam);
                return 0;
            }
            return DialogAccess::Handle(*window.dialog, message, wParam, lParam);
    }
    return 0;
}

void Deliver(QueuedMessage& message) {
    intptr_t result = 0;
    if (const auto window = Lookup(message.target)) {
        result = Dispatch(*window, message.message, message.wParam, message.lParam);
    }
    if (message.send) {
        Complete(*message.send, result);
    }
}

// One step of the modal loop of `modal`: delivers the next queued message, or, when none is
// queued, the first due timer of this thread's dialogs, or waits for either (or for the end of
// `modal`). Timers come after queued messages, so a timer due at once still lets everything
// already posted be handled first.
void PumpOnce(const Window& modal) {
    ThreadQueue& queue = *ThisQueue();
    std::unique_lock lock(queue.mutex);
    if (modal.ended) {
        return;
    }
    if (!queue.messages.empty()) {
        QueuedMessage message = std::move(queue.messages.front());
        queue.messages.pop_front();
        lock.unlock();
        Deliver(message);
        return;
    }
    const Clock::time_point now = Clock::now();
    Window* timerWindow = nullptr;
    uintptr_t timerId = 0;
    Clock::time_point deadline = Clock::time_point::max();
    for (Window* dialog : t_dialogs) {
        for (const auto& [id, timer] : dialog->timers) {
            if (timer.due < deadline) {
                deadline = timer.due;
                timerWindow = dialog;
                timerId = id;
            }
        }
    }
    if (timerWindow != nullptr && deadline <= now) {
        timerWindow->timers[timerId].due = now + timerWindow->timers[timerId].period;
        lock.unlock();
        Dispatch(*timerWindow, kMsgTimer, timerId, 0);
        return;
    }
    Presenter& presenter = CurrentPresenter();
    const auto refresh = presenter.NextRefresh();
    if (refresh && *refresh <= now) {
        lock.unlock();
        presenter.Refresh();
        return;
    }
    if (refresh && *refresh < deadline) {
        deadline = *refresh;
    }
    if (deadline == Clock::time_point::max()) {
        queue.cv.wait(lock);
    } else {
        queue.cv.wait_until(lock, deadline);
    }
}

void RunModal(Window& window) {
    while (!window.ended) {
        PumpOnce(window);
    }
}

std::optional<OwnedTemplate> FindTemplate(int id) {
    Registry& reg = Reg();
    std::lock_guard lock(reg.mutex);
    for (const OwnedTemplate& t : reg.templates) {
        if (t.id == id) {
            return t;
        }
    }
    return std::nullopt;
}

Window* AsWindow(void* impl) {
    return static_cast<Window*>(impl);
}

bool OwnedByThisThread(const Window& window) {
    return window.queue == t_queue;
}

std::u16string ExecutableTitle() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return u"";
    }
    std::string name(path, static_cast<std::size_t>(n));
    name = name.substr(name.find_last_of('/') + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    return Utf8ToUtf16(name);
}

std::atomic<Application*> g_application{nullptr};

}  // namespace

int RunMessageBox(const char16_t* text, const char16_t* caption, uint32_t type) {
    const std::u16string body = text ? text : u"";
    const std::u16string title = caption ? caption : u"Error";  // Win32's caption for null
    EventMessageBox(title, body, type);
    Presenter& presenter = CurrentPresenter();
    if (!presenter.Interactive()) {
        presenter.PrintMessageBox(title, body, type);
        return static_cast<int>(kIdOk);
    }
    const auto box = NewWindow(WindowKind::kMessageBox);
    box->caption = title;
    box->hasCaption = true;
    box->text = body;
    box->boxType = type;
    presenter.Show(*box);
    RunModal(*box);
    presenter.Hide(*box);
    Destroy(*box);
    return static_cast<int>(kIdOk);
}

}  // namespace posix

intptr_t DialogAccess::Handle(Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (message == kMsgCommand) {
        const int id = static_cast<int>(wParam & 0xFFFF);
        if (id == kIdOk) {
            d.OnOK();
        } else if (id == kIdCancel) {
            d.OnCancel();
        } else {
            d.OnCommand(id);
        }
        return 0;
    }
    if (message == kMsgTimer) {
        d.OnTimer(wParam);
        return 0;
    }
    intptr_t result = 0;
    if (d.OnMessage(message, wParam, lParam, result)) {
        return result;
    }
    // Default handling: the close box is the cancel route; nothing else has a default action.
    constexpr uintptr_t kScClose = 0xF060;
    if (message == kMsgSysCommand && (wParam & 0xFFF0) == kScClose) {
        if (auto window = posix::Lookup(d.Handle())) {
            posix::ClickButton(*window, static_cast<int>(kIdCancel));
        }
    }
    return 0;
}

// ---- ProgressBar and DataExchange ----

// ---- Dialog ----

Dialog::Dialog(int templateId, Dialog* parent) : templateId_(templateId), parent_(parent) {}

Dialog::~Dialog() = default;

intptr_t Dialog::DoModal() {
    if (impl_ != nullptr) {
        return -1;  // already running
    }
    const auto found = posix::FindTemplate(templateId_);
    if (!found) {
        return -1;
    }
    const auto window = posix::NewWindow(WindowKind::kDialog);
    window->dialog = this;
    window->templateId = templateId_;
    window->caption = found->caption;
    window->hasCaption = found->hasCaption;
    for (const auto& c : found->controls) {
        const auto control = posix::NewWindow(WindowKind::kControl);
        control->owner = window.get();
        control->controlId = c.id;
        control->controlKind = c.kind;
        control->text = c.text;
        window->controls.push_back(control);
        if (c.kind == ControlKind::kButton && window->focusedControl == 0) {
            window->focusedControl = c.id;
        }
    }
    handle_ = window->handle;
    impl_ = window.get();
    posix::t_dialogs.push_back(window.get());

    posix::Presenter& presenter = posix::CurrentPresenter();
    DialogAccess::InitDialog(*this);
    if (!window->ended) {
        presenter.Show(*window);
        posix::RunModal(*window);
        presenter.Hide(*window);
    }
    const intptr_t result = window->result;

    auto& dialogs = posix::t_dialogs;
    dialogs.erase(std::remove(dialogs.begin(), dialogs.end(), window.get()), dialogs.end());
    posix::Destroy(*window);
    handle_ = nullptr;
    impl_ = nullptr;
    return result;
}

void Dialog::EndDialog(intptr_t result) {
    if (Window* window = posix::AsWindow(impl_)) {
        posix::EndModal(*window, result);
    }
}

WindowHandle Dialog::ItemHandle(int controlId) const {
    const Window* window = posix::AsWindow(impl_);
    const Window* control = window ? window->FindControl(controlId) : nullptr;
    return control ? control->handle : nullptr;
}

// Position, z-order and icons have no meaning for the presenters.
void Dialog::SetTopmost() {}
void Dialog::SetIcon(IconHandle, bool) {}
void Dialog::CenterOnDesktop() {}

void Dialog::SetItemText(int controlId, const char16_t* text) {
    Window* window = posix::AsWindow(impl_);
    Window* control = window ? window->FindControl(controlId) : nullptr;
    if (control == nullptr || !posix::OwnedByThisThread(*window)) {
        return;
    }
    control->text = text ? text : u"";
    posix::CurrentPresenter().Changed(*window);
}

bool Dialog::SetTimer(uintptr_t timerId, uint32_t milliseconds) {
    Window* window = posix::AsWindow(impl_);
    if (window == nullptr || !posix::OwnedByThisThread(*window)) {
        return false;
    }
    const auto period = posix::Scaled(milliseconds);
    window->timers[timerId] = {period, Clock::now() + period};
    posix::CurrentPresenter().Changed(*window);
    return true;
}

bool Dialog::KillTimer(uintptr_t timerId) {
    Window* window = posix::AsWindow(impl_);
    if (window == nullptr || !posix::OwnedByThisThread(*window)) {
        return false;
    }
    const bool found = window->timers.erase(timerId) != 0;
    posix::CurrentPresenter().Changed(*window);
    return found;
}

int Dialog::ShowMessageBox(const char16_t* text, const char16_t* caption, uint32_t type) {
    return posix::RunMessageBox(text, caption, type);
}

// ---- Application ----

Application::Application() {
    Application* none = nullptr;
    posix::g_application.compare_exchange_strong(none, this);
}

Application::~Application() {
    Application* self = this;
    posix::g_application.compare_exchange_strong(self, nullptr);
}

const char16_t* Application::Title() const {
    static const std::u16string title = posix::ExecutableTitle();
    return title.c_str();
}

Application* Application::Current() {
    return posix::g_application;
}

// ---- Messages ----

intptr_t SendMessageTo(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    const auto target = posix::Lookup(window);
    if (!target) {
        return 0;
    }
    if (posix::OwnedByThisThread(*target)) {
        return posix::Dispatch(*target, message, wParam, lParam);
    }
    auto send = std::make_shared<SendState>();
    if (!posix::Enqueue(window, message, wParam, lParam, send)) {
        return 0;
    }
    std::unique_lock lock(send->mutex);
    send->cv.wait(lock, [&] { return send->done; });
    return send->result;
}

bool PostMessageTo(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return posix::Enqueue(window, message, wParam, lParam, nullptr);
}

int StandardMessageBox(const char16_t* text, uint32_t type) {
    const Application* app = Application::Current();
    return posix::RunMessageBox(text, app ? app->Title() : u"", type);
}

void ShowBusy(int percent) {
    posix::CurrentPresenter().ShellProgress(
        u"Checking the package: " + Utf8ToUtf16(std::to_string(percent)) + u"%", percent >= 0);
}

IconHandle LoadAppIcon(int resourceId) {
    // Presenters draw no icons; any non-null value stands for a loaded one.
    return reinterpret_cast<IconHandle>(static_cast<uintptr_t>(resourceId) * 16 + 8);
}

void RegisterDialogTemplates(const DialogTemplate* templates, std::size_t count) {
    if (templates == nullptr) {
        return;
    }
    posix::Registry& reg = posix::Reg();
    std::lock_guard lock(reg.mutex);
    for (std::size_t i = 0; i < count; ++i) {
        const DialogTemplate& t = templates[i];
        posix::OwnedTemplate owned{t.id, t.caption != nullptr, t.caption ? t.caption : u"", {}};
        for (std::size_t k = 0; t.controls != nullptr && k < t.controlCount; ++k) {
            const ControlTemplate& c = t.controls[k];
            owned.controls.push_back({c.id, c.kind, c.text ? c.text : u""});
        }
        auto& all = reg.templates;
        all.erase(
            std::remove_if(all.begin(), all.end(), [&](const auto& o) { return o.id == t.id; }),
            all.end());
        all.push_back(std::move(owned));
    }
}

}  // namespace platform
