// Terminal presenter: the visible dialogs and message boxes are drawn as one block of text at the
// bottom of the terminal and redrawn in place when anything in them changes. Keys are read in raw
// mode by a reader thread and posted to the topmost window as kMsgKeyDown; the modal loop turns
// them into button clicks.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/posix/runtime.h"
#include "platform/text.h"

namespace platform::posix {
namespace {

termios g_savedTerminal;
std::atomic<bool> g_rawMode{false};

void RestoreTerminal() {
    if (g_rawMode.exchange(false)) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    }
}

void RestoreAndReraise(int signal) {
    RestoreTerminal();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Keys stay unbuffered and unechoed; Ctrl-C still interrupts (ISIG stays on).
void EnterRawMode() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) {
        return;
    }
    termios raw = g_savedTerminal;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        return;
    }
    g_rawMode = true;
    std::atexit(RestoreTerminal);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        std::signal(s, RestoreAndReraise);
    }
}

std::size_t Columns(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::vector<std::string> SplitLines(const std::u16string& text) {
    std::vector<std::string> lines(1);
    for (char c : Utf16ToUtf8(text)) {
        if (c == '\n') {
            lines.emplace_back();
        } else if (c != '\r') {
            lines.back() += c;
        }
    }
    while (lines.size() > 1 && lines.back().empty()) {
        lines.pop_back();
    }
    // Texts may carry what a package or a card says: no control sequence reaches the terminal.
    for (std::string& line : lines) {
        line = Printable(line);
    }
    return lines;
}

// Frames `body` with the caption in the top border.
std::vector<std::string> Frame(const std::string& caption, const std::vector<std::string>& body) {
    std::size_t width = Columns(caption) + 4;
    for (const auto& line : body) {
        width = std::max(width, Columns(line));
    }
    std::vector<std::string> out;
    // Every line is width + 4 columns wide; width >= caption + 4 leaves at least three dashes.
    out.push_back("+- " + caption + " " + std::string(width - Columns(caption) - 1, '-') + "+");
    for (const auto& line : body) {
        out.push_back("| " + line + std::string(width - Columns(line), ' ') + " |");
    }
    out.push_back("+" + std::string(width + 2, '-') + "+");
    return out;
}

std::string Bar(const Window& bar) {
    constexpr int kWidth = 40;
    const int span = std::max(1, bar.rangeHigh - bar.rangeLow);
    const int done = std::clamp(bar.position - bar.rangeLow, 0, span);
    const int filled = done * kWidth / span;
    const int percent = done * 100 / span;
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(kWidth - filled), '.') + "] " +
           std::to_string(percent) + "%";
}

class TerminalPresenter final : public Presenter {
  public:
    bool Interactive() const override { return true; }

    void Show(Window& window) override {
        std::call_once(inputStarted_, [this] { StartInput(); });
        uintptr_t answer = 0;
        {
            std::lock_guard lock(mutex_);
            stack_.push_back(&window);
            active_ = window.handle;
            Render();
            if (inputEnded_) {
                answer = EndOfInputKey(window);
            }
        }
        Press(answer, window.handle);
    }

    void Hide(Window& window) override {
        std::lock_guard lock(mutex_);
        stack_.erase(std::remove(stack_.begin(), stack_.end(), &window), stack_.end());
        active_ = stack_.empty() ? nullptr : stack_.back()->handle;
        Render();
    }

    void Changed(Window& window) override {
        std::lock_guard lock(mutex_);
        if (std::find(stack_.begin(), stack_.end(), &window) != stack_.end()) {
            Render();
        }
    }

    void PrintMessageBox(const std::u16string& caption, const std::u16string& text,
                         uint32_t) override {
        std::string out;
        for (const auto& line : Frame(Printable(Utf16ToUtf8(caption)), SplitLines(text))) {
            out += line + "\n";
        }
        Write(out);
    }

    void ShellProgress(const std::u16string& title, bool running) override {
        std::lock_guard lock(mutex_);
        shellTitle_ =
            running ? std::optional<std::string>(Printable(Utf16ToUtf8(title))) : std::nullopt;
        Render();
    }

    // A visible countdown is redrawn a few times a second.
    std::optional<Clock::time_point> NextRefresh() override {
        std::lock_guard lock(mutex_);
        for (const Window* w : stack_) {
            if (!w->timers.empty()) {
                return lastRender_ + std::chrono::milliseconds(250);
            }
        }
        return std::nullopt;
    }

    void Refresh() override {
        std::lock_guard lock(mutex_);
        Render();
    }

  private:
    static void Write(const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    std::vector<std::string> DialogLines(const Window& dialog) const {
        std::vector<std::string> body;
        std::string buttons;
        for (const auto& c : dialog.controls) {
            switch (c->controlKind) {
                case ControlKind::kStatic:
                    for (auto& line : SplitLines(c->text)) {
                        body.push_back(std::move(line));
                    }
                    break;
                case ControlKind::kProgressBar:
                    body.push_back(Bar(*c));
                    break;
                case ControlKind::kButton: {
                    const std::string label = Printable(Utf16ToUtf8(c->text));
                    const bool focused = c->controlId == dialog.focusedControl;
                    buttons += (buttons.empty() ? "" : "   ") +
                               (focused ? "[>" + label + "<]" : "[ " + label + " ]");
                    break;
                }
            }
        }
        if (!buttons.empty()) {
            body.push_back("");
            body.push_back(buttons + "   (Enter, Tab, Esc/c)");
        }
        if (!dialog.timers.empty()) {
            Clock::time_point due = Clock::time_point::max();
            for (const auto& [id, timer] : dialog.timers) {
                due = std::min(due, timer.due);
            }
            const auto left = std::chrono::ceil<std::chrono::seconds>(
                std::max(Clock::duration::zero(), due - Clock::now()));
            body.push_back("closes by itself in " + std::to_string(left.count()) + " s");
        }
        if (!dialog.hasCaption) {
            return body;
        }
        return Frame(Printable(Utf16ToUtf8(dialog.caption)), body);
    }

    void Render() {
        lastRender_ = Clock::now();
        std::vector<std::string> lines;
        for (const Window* w : stack_) {
            std::vector<std::string> part;
            if (w->kind == WindowKind::kMessageBox) {
                part = SplitLines(w->text);
                part.push_back("");
                part.push_back("[>OK<]   (Enter)");
                part = Frame(Printable(Utf16ToUtf8(w->caption)), part);
            } else {
                part = DialogLines(*w);
            }
            lines.insert(lines.end(), part.begin(), part.end());
        }
        if (shellTitle_) {
            lines.push_back(*shellTitle_);
        }
        std::string frame;
        for (const auto& line : lines) {
            frame += line + "\n";
        }
        if (frame == lastFrame_) {
            return;
        }
        std::string out;
        if (drawnLines_ > 0) {
            out = "\r\x1b[" + std::to_string(drawnLines_) + "F\x1b[J";  // back to the block's top
        }
        out += frame;
        Write(out);
        lastFrame_ = frame;
        drawnLines_ = lines.size();
    }

    void StartInput() {
        EnterRawMode();
        std::thread([this] { ReadKeys(); }).detach();
    }

    // Posts outside mutex_: the window's thread holds its queue's lock while it asks this
    // presenter for its next refresh, so posting under mutex_ would take the locks in the
    // opposite order.
    static void Press(uintptr_t key, WindowHandle window) {
        if (key != 0) {
            PostMessageTo(window, kMsgKeyDown, key, 0);
        }
    }
    void Press(uintptr_t key) { Press(key, active_.load()); }

    void ReadKeys() {
        char buffer[64];
        for (;;) {
            pollfd p{STDIN_FILENO, POLLIN, 0};
            if (poll(&p, 1, -1) < 0) {
                continue;
            }
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                // End of input: nothing more will be pressed, so no window may wait for a key.
                uintptr_t answer = 0;
                WindowHandle window = nullptr;
                {
                    std::lock_guard lock(mutex_);
                    inputEnded_ = true;
                    if (!stack_.empty()) {
                        answer = EndOfInputKey(*stack_.back());
                        window = stack_.back()->handle;
                    }
                }
                Press(answer, window);
                return;
            }
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buffer[i];
                if (c == '\r' || c == '\n' || c == ' ') {
                    Press(kKeyEnter);
                } else if (c == '\t') {
                    Press(kKeyTab);
                } else if (c == 'c' || c == 'C') {
                    Press(kKeyCancel);
                } else if (c == 0x1B && i + 1 < n &&
                           (buffer[i + 1] == '[' || buffer[i + 1] == 'O')) {
                    // An escape sequence (arrow keys): left and right move the focus.
                    i += 2;
                    while (i < n && !((buffer[i] >= 'A' && buffer[i] <= 'Z') || buffer[i] == '~')) {
                        ++i;
                    }
                    if (i < n && (buffer[i] == 'C' || buffer[i] == 'D')) {
                        Press(kKeyTab);
                    }
                } else if (c == 0x1B) {
                    Press(kKeyEscape);
                }
            }
        }
    }

    // The key that answers a window after the end of input: Enter for a message box, Escape
    // for a dialog with buttons (the confirmation: the safe answer), none (0) for the progress
    // dialog, which needs no key.
    static uintptr_t EndOfInputKey(const Window& window) {
        if (window.kind == WindowKind::kMessageBox) {
            return kKeyEnter;
        }
        for (const auto& c : window.controls) {
            if (c->controlKind == ControlKind::kButton) {
                return kKeyEscape;
            }
        }
        return 0;
    }

    std::mutex mutex_;
    bool inputEnded_ = false;  // guarded by mutex_
    std::vector<Window*> stack_;
    std::optional<std::string> shellTitle_;
    std::string lastFrame_;
    std::size_t drawnLines_ = 0;
    Clock::time_point lastRender_{};
    std::atomic<WindowHandle> active_{nullptr};
    std::once_flag inputStarted_;
};

}  // namespace

std::unique_ptr<Presenter> MakeTerminalPresenter() {
    return std::make_unique<TerminalPresenter>();
}

}  // namespace platform::posix
