// Enter and Escape in the progress dialog: while the decode thread runs they must not end the
// dialog (and with it the program) under the running extraction.
#include <gtest/gtest.h>

#include <mutex>

#include "app/dialog_templates.h"
#include "app/update_dlg.h"
#include "platform/posix/host.h"

namespace {

constexpr uint32_t kMsgProbe = platform::kMsgUser + 7;
constexpr intptr_t kProbeResult = 77;

void ConfigureHeadlessOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        platform::host::Options options;
        options.ui = platform::host::UiKind::kHeadless;
        options.timeScale = 0;
        platform::host::Configure(options);
        platform::RegisterDialogTemplates(app::kDialogTemplates, app::kDialogTemplateCount);
    });
}

// The progress dialog without its start-up sequence: the initialisation only marks the decode
// thread as running (or not) and queues Enter, Escape and a probe that ends the dialog with 77.
class KeyProbeDialog : public CUpdateDlg {
  public:
    explicit KeyProbeDialog(bool decodeRunning) : decodeRunning_(decodeRunning) {}

  protected:
    bool OnInitDialog() override {
        platform::Dialog::OnInitDialog();
        m_decodeRunning = decodeRunning_;
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

  private:
    bool decodeRunning_;
};

struct KeyCase {
    const char* name;
    bool decodeRunning;
    intptr_t expected;  // what DoModal returns
};

class ProgressDialogKeys : public testing::TestWithParam<KeyCase> {};

TEST_P(ProgressDialogKeys, EndTheDialogOnlyWhenNoExtractionRuns) {
    ConfigureHeadlessOnce();
    KeyProbeDialog dialog(GetParam().decodeRunning);
    EXPECT_EQ(dialog.DoModal(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(EnterThenEscape, ProgressDialogKeys,
                         testing::Values(KeyCase{"WhileDecoding", true, kProbeResult},
                                         KeyCase{"Idle", false, platform::kIdOk}),
                         [](const testing::TestParamInfo<KeyCase>& info) {
                             return info.param.name;
                         });

}  // namespace
