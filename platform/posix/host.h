// Configuration of the POSIX platform for a program run on a developer's machine: where the
// device image is, how dialogs and message boxes are shown, how fast time runs, and what the
// platform tells a host program that keeps a record. Only host entry points use this header.
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

// How the headless UI answers the dialog named in Options::answeredDialog.
enum class Answer {
    kOk,       // presses OK
    kCancel,   // presses Cancel
    kTimeout,  // presses nothing; the dialog's own timer decides
};

struct Options {
    UiKind ui = UiKind::kHeadless;
    Answer answer = Answer::kTimeout;
    double timeScale = 1.0;  // every wait (Sleep, timers) lasts this many times as long; 0: instant
    // The template of the dialog the headless answer presses a button of; 0: every dialog.
    int answeredDialog = 0;
};

// Applies the options. Call once, before anything else of the platform is used.
void Configure(const Options& options);

// What the platform tells a host program as it happens; any may be empty.
struct Observers {
    // A message box is shown (its caption, text and type bits), on the thread that shows it.
    std::function<void(const std::u16string& caption, const std::u16string& text, uint32_t type)>
        messageBox;
    // A progress bar moved to `position` (within its range), on the dialog's thread.
    std::function<void(int position)> progress;
    // The process ends with `status` (ExitProcess or the end of main), from an exit handler.
    std::function<void(int status)> exit;
};
void SetObservers(Observers observers);

// Runs the registered Application: InitInstance once, then ends the process with status 0.
[[noreturn]] void RunApplication();

}  // namespace platform::host
