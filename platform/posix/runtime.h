// Internal state of the POSIX dialog framework, shared by the message loop (ui_posix.cpp), the
// presenters and the host configuration. Not part of the platform contract.
//
// Every window (dialog, control, message box) is a Window record in one registry, found by its
// handle. A handle is never reused, so a message to a window that is gone fails instead of
// reaching another window. Each window belongs to the thread that created it; that thread's
// ThreadQueue holds the messages posted or sent to it from anywhere.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/host.h"
#include "platform/ui.h"

namespace platform::posix {

using Clock = std::chrono::steady_clock;

// Keyboard input from the terminal presenter, delivered like WM_KEYDOWN and translated by the
// loop into button clicks before any handler sees it.
inline constexpr uint32_t kMsgKeyDown = 0x0100;
inline constexpr uintptr_t kKeyTab = 0x09;
inline constexpr uintptr_t kKeyEnter = 0x0D;
inline constexpr uintptr_t kKeyEscape = 0x1B;
inline constexpr uintptr_t kKeyCancel = 'C';

// A message sent by another thread: the sender waits until `done`.
struct SendState {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    intptr_t result = 0;
};

struct QueuedMessage {
    WindowHandle target = nullptr;
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    std::shared_ptr<SendState> send;  // null for a posted message
};

struct ThreadQueue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<QueuedMessage> messages;
};

enum class WindowKind { kDialog, kControl, kMessageBox };

struct Timer {
    Clock::duration period{};
    Clock::time_point due{};
};

struct Window {
    WindowHandle handle = nullptr;
    WindowKind kind = WindowKind::kDialog;
    std::shared_ptr<ThreadQueue> queue;  // of the owning thread

    // Dialog and message box.
    std::u16string caption;
    bool hasCaption = false;
    // Dialog.
    Dialog* dialog = nullptr;
    int templateId = 0;
    std::vector<std::shared_ptr<Window>> controls;  // in template (tab) order
    std::map<uintptr_t, Timer> timers;
    int focusedControl = 0;  // id of the button that Enter presses; 0: none
    // Control.
    Window* owner = nullptr;
    int controlId = 0;
    ControlKind controlKind = ControlKind::kStatic;
    std::u16string text;  // control text; the message box's text
    int rangeLow = 0;
    int rangeHigh = 100;
    int position = 0;
    // Message box.
    uint32_t boxType = 0;

    // Modal state: set by EndDialog, possibly from another thread.
    std::atomic<bool> ended{false};
    std::atomic<intptr_t> result{0};

    Window* FindControl(int id) const;
    Window* FindButton(const std::u16string& text) const;
};

// Shows windows to the user. Every call is made on the thread that owns the window.
class Presenter {
  public:
    virtual ~Presenter() = default;
    // True when message boxes and dialogs wait for the user inside a modal loop.
    virtual bool Interactive() const = 0;
    // A dialog or message box becomes visible / goes away.
    virtual void Show(Window& window) = 0;
    virtual void Hide(Window& window) = 0;
    // A control's text or position, the focus or a timer of a visible dialog changed.
    virtual void Changed(Window& window) = 0;
    // A message box of a non-interactive presenter (answered OK at once).
    virtual void PrintMessageBox(const std::u16string& caption, const std::u16string& text,
                                 uint32_t type) = 0;
    // A line of its own while the shell's delete operation, or a check before any window
    // (ShowBusy), runs; it goes when `running` is false.
    virtual void ShellProgress(const std::u16string& title, bool running) = 0;
    // When an idle loop should call Refresh even though no message arrived (countdowns).
    virtual std::optional<Clock::time_point> NextRefresh() = 0;
    virtual void Refresh() = 0;
};

// `answeredDialog`: the template whose dialog the answer applies to; 0: every dialog.
std::unique_ptr<Presenter> MakeHeadlessPresenter(host::Answer answer, int answeredDialog);
std::unique_ptr<Presenter> MakeTerminalPresenter();

// host_posix.cpp
Presenter& CurrentPresenter();
double TimeScale();
Clock::duration Scaled(uint32_t milliseconds);
void RecordExitStatus(int status);
// Tell the host program's observers (host.h).
void EventMessageBox(const std::u16string& caption, const std::u16string& text, uint32_t type);
void EventProgress(int position);

// ui_posix.cpp: the framework's message box, used by Dialog and StandardMessageBox.
int RunMessageBox(const char16_t* text, const char16_t* caption, uint32_t type);
// The live window of `handle`; null once it is gone.
std::shared_ptr<Window> Lookup(WindowHandle handle);

}  // namespace platform::posix
