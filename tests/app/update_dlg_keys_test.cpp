// The app's dialogs on their own: Enter and Escape in the progress dialog, which must not end the
// dialog (and with it the program) under the running extraction; the confirmation's own timer.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "app/dialog_templates.h"
#include "app/resource.h"
#include "app/tip_dlg.h"
#include "app/update_dlg.h"
#include "platform/posix/host.h"
#include "platform/posix/runtime.h"

namespace {

constexpr uint32_t kMsgProbe = platform::kMsgUser + 7;
constexpr intptr_t kProbeResult = 77;

// Registering the templates again replaces them.
void ConfigureHeadless(double timeScale = 0) {
    platform::host::Configure({.ui = platform::host::UiKind::kHeadless, .timeScale = timeScale});
    platform::RegisterDialogTemplates(app::kDialogTemplates, app::kDialogTemplateCount);
}

// The progress dialog without its start-up sequence: the initialisation only queues Enter, Escape
// and a probe that ends the dialog with 77; the test marks the decode thread as running (or not).
class KeyProbeDialog : public CUpdateDlg {
  protected:
    bool OnInitDialog() override {
        platform::Dialog::OnInitDialog();
        Post(platform::kMsgCommand, static_cast<uintptr_t>(platform::kIdOk), 0);
        Post(platform::kMsgCommand, static_cast<uintptr_t>(platform::kIdCancel), 0);
        Post(kMsgProbe, 0, 0);
        return true;
    }
    bool OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam, intptr_t& result) override {
        if (message == kMsgProbe) {
            EndDialog(kProbeResult);
            result = 0;
            return true;
        }
        return CUpdateDlg::OnMessage(message, wParam, lParam, result);
    }
};

TEST(ProgressDialog, EnterAndEscapeEndItOnlyWhenNoExtractionRuns) {
    ConfigureHeadless();
    for (const bool decoding : {true, false}) {
        KeyProbeDialog dialog;
        dialog.m_decodeRunning = decoding;
        EXPECT_EQ(dialog.DoModal(), decoding ? kProbeResult : platform::kIdOk) << decoding;
    }
}

// At real time the confirmation's one timer runs 5 s; its first tick accepts. The tick is made due
// at once instead of waited for.
class TimedTip : public CTipDlg {
  public:
    TimedTip() : CTipDlg(u"2.0", u"1.0", nullptr) {}
    std::vector<platform::posix::Clock::duration> periods;
    int ticks = 0;

  protected:
    bool OnInitDialog() override {
        const bool result = CTipDlg::OnInitDialog();
        for (auto& [id, timer] : platform::posix::Lookup(Handle())->timers) {
            EXPECT_EQ(id, IDT_TIP_TIMEOUT);
            periods.push_back(timer.period);
            timer.due = platform::posix::Clock::now();
        }
        return result;
    }
    void OnTimer(uintptr_t timerId) override {
        ++ticks;
        CTipDlg::OnTimer(timerId);
    }
};

TEST(Confirmation, AcceptsOnItsTimersFirstTickAfterFiveSeconds) {
    ConfigureHeadless(1);
    TimedTip dialog;
    EXPECT_EQ(dialog.DoModal(), platform::kIdOk);
    EXPECT_EQ(dialog.periods,
              std::vector<platform::posix::Clock::duration>{std::chrono::seconds(5)});
    EXPECT_EQ(dialog.ticks, 1);
}

}  // namespace
