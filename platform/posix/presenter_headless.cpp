// Headless presenter: message boxes become one line on standard output and are answered OK; a
// dialog is answered by clicking the button the configured answer names (only the dialog the host
// program names, when it names one).
#include <cstdio>

#include "platform/posix/runtime.h"
#include "platform/text.h"

namespace platform::posix {
namespace {

class HeadlessPresenter final : public Presenter {
  public:
    HeadlessPresenter(host::Answer answer, int answeredDialog)
        : answer_(answer), answeredDialog_(answeredDialog) {}

    bool Interactive() const override { return false; }

    void Show(Window& window) override {
        if (window.kind != WindowKind::kDialog || answer_ == host::Answer::kTimeout ||
            (answeredDialog_ != 0 && window.templateId != answeredDialog_)) {
            return;
        }
        const Window* button = window.FindButton(answer_ == host::Answer::kOk ? u"OK" : u"Cancel");
        if (button != nullptr) {
            // Queued like a real click, so it comes after what the dialog posted while starting.
            PostMessageTo(window.handle, kMsgCommand,
                          static_cast<uintptr_t>(button->controlId & 0xFFFF),
                          reinterpret_cast<intptr_t>(button->handle));
        }
    }

    void Hide(Window&) override {}
    void Changed(Window&) override {}

    void PrintMessageBox(const std::u16string& caption, const std::u16string& text,
                         uint32_t) override {
        // One line whatever the texts hold: a version from a package cannot forge another.
        std::string line =
            "[" + Printable(Utf16ToUtf8(caption)) + "] " + Printable(Utf16ToUtf8(text)) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }

    void ShellProgress(const std::u16string&, bool) override {}
    std::optional<Clock::time_point> NextRefresh() override { return std::nullopt; }
    void Refresh() override {}

  private:
    host::Answer answer_;
    int answeredDialog_;
};

}  // namespace

std::unique_ptr<Presenter> MakeHeadlessPresenter(host::Answer answer, int answeredDialog) {
    return std::make_unique<HeadlessPresenter>(answer, answeredDialog);
}

}  // namespace platform::posix
