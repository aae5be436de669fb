// Configuration of the POSIX platform for a program run on a developer's machine: where the
// device image is, how dialogs and message boxes are shown, how fast time runs, and where the
// record of what happened goes. Only host entry points use this header.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform::host {

// How dialogs and message boxes reach the user.
enum class UiKind {
    kTerminal,  // drawn on the terminal, answered with the keyboard
    kHeadless,  // printed as lines on standard output, answered automatically
};

// How the headless UI answers a dialog that has OK and Cancel buttons.
enum class Answer {
    kOk,       // presses OK
    kCancel,   // presses Cancel
    kTimeout,  // presses nothing; the dialog's own timer decides
};

struct Options {
    std::string deviceDirectory = "device";  // the directory that stands for the device's `\`
    UiKind ui = UiKind::kHeadless;
    Answer answer = Answer::kTimeout;
    double timeScale = 1.0;  // every wait (Sleep, timers) lasts this many times as long; 0: instant
    std::string eventsFile;  // JSON lines of what happened; empty: none
};

// Applies the options. Call once, before anything else of the platform is used.
void Configure(const Options& options);

// Appends one event to the events file as a JSON line (no effect when no file is set). `json` is
// a complete JSON object without a line end. Safe from any thread.
void EmitEvent(const std::string& json);

// Called on the dialog thread for every message that a dialog's handler is about to receive;
// lets a host program record the private messages of its own dialogs.
using MessageObserver = std::function<void(uint32_t message, uintptr_t wParam, intptr_t lParam)>;
void SetMessageObserver(MessageObserver observer);

// Runs the registered Application: InitInstance once, then ends the process with status 0
// (writing the "exit" event).
[[noreturn]] void RunApplication();

}  // namespace platform::host
