#include "platform/ui.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "device_test.h"

namespace platform::testing {
namespace {

enum : int { kBarDialog = 900, kAskDialog };              // templates
enum : int { kBar = 10, kText, kYes, kNo };               // controls
enum : uint32_t { kMsgStep = kMsgUser + 7, kMsgFinish };  // private; kMsgFinish ends with wParam

const ControlTemplate kBarControls[] = {{kBar, ControlKind::kProgressBar, u"Bar", 0, 0, 100, 10}};
const ControlTemplate kAskControls[] = {{kText, ControlKind::kStatic, u"Static", 0, 0, 100, 30},
                                        {kYes, ControlKind::kButton, u"OK", 0, 40, 30, 14},
                                        {kNo, ControlKind::kButton, u"Cancel", 40, 40, 30, 14}};
const DialogTemplate kTemplates[] = {{kBarDialog, nullptr, 180, 24, kBarControls, 1},
                                     {kAskDialog, u"Ask", 160, 60, kAskControls, 3}};

// A dialog whose handlers are set per test; records every message its handlers receive.
class ScriptedDialog : public Dialog {
  public:
    explicit ScriptedDialog(int templateId = kBarDialog, Dialog* parent = nullptr)
        : Dialog(templateId, parent) {}

    std::function<void(ScriptedDialog&)> onInit;
    std::function<intptr_t(ScriptedDialog&, uint32_t, uintptr_t)> onMessage;
    std::function<void(ScriptedDialog&, int)> onCommand;
    std::function<void(ScriptedDialog&, uintptr_t)> onTimer;
    std::vector<std::string> log;
    ProgressBar bar;

  protected:
    bool OnInitDialog() override {
        Dialog::OnInitDialog();
        if (onInit)
            onInit(*this);
        return true;
    }
    void DoDataExchange(DataExchange& exchange) override { exchange.Control(kBar, bar); }
    void OnCommand(int id) override {
        log.push_back("command " + std::to_string(id));
        if (onCommand)
            onCommand(*this, id);
    }
    void OnTimer(uintptr_t id) override {
        log.push_back("timer " + std::to_string(id));
        if (onTimer)
            onTimer(*this, id);
    }
    bool OnMessage(uint32_t message, uintptr_t wParam, intptr_t, intptr_t& result) override {
        if (message < kMsgUser) {
            return false;
        }
        log.push_back("message " + std::to_string(message - kMsgUser) + ":" +
                      std::to_string(wParam));
        result = onMessage ? onMessage(*this, message, wParam) : 0;
        if (message == kMsgFinish)
            EndDialog(static_cast<intptr_t>(wParam));
        return true;
    }
};

// The program's one application object; its title is the test program's name.
class TestApplication : public Application {
  public:
    bool InitInstance() override { return false; }
} g_application;

class DialogTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        RegisterDialogTemplates(kTemplates, std::size(kTemplates));
    }
};

// The decode thread's shape: a worker moves the bar with blocking sends, one per block, and each
// send returns only after the dialog's thread has handled it; then it posts its end.
TEST_F(DialogTest, WorkerSendsAreHandledInOrderBeforeTheyReturn) {
    constexpr int kSends = 200;
    ScriptedDialog dialog;
    std::thread worker;
    std::vector<intptr_t> results;
    std::vector<std::size_t> handledWhenReturned;
    dialog.onMessage = [](ScriptedDialog&, uint32_t, uintptr_t wParam) -> intptr_t {
        return static_cast<intptr_t>(wParam) * 3;
    };
    dialog.onInit = [&](ScriptedDialog& d) {
        d.bar.SetRange(0, 100);
        const WindowHandle window = d.Handle();
        const WindowHandle bar = d.bar.Handle();
        worker = std::thread([&, window, bar] {
            for (int i = 0; i < kSends; ++i) {
                results.push_back(SendMessageTo(window, kMsgStep, static_cast<uintptr_t>(i), 0));
                handledWhenReturned.push_back(dialog.log.size());
                SendMessageTo(bar, kMsgProgressSetPos, static_cast<uintptr_t>(i / 2), 0);
            }
            EXPECT_TRUE(PostMessageTo(window, kMsgFinish, 42, 0));
        });
    };
    EXPECT_EQ(dialog.DoModal(), 42);
    worker.join();

    ASSERT_EQ(results.size(), static_cast<std::size_t>(kSends));
    for (int i = 0; i < kSends; ++i) {
        EXPECT_EQ(results[i], i * 3);
        EXPECT_EQ(handledWhenReturned[i], static_cast<std::size_t>(i + 1)) << "send " << i;
        EXPECT_EQ(dialog.log[i], "message 7:" + std::to_string(i));
    }
    ASSERT_EQ(progress_.size(), static_cast<std::size_t>(kSends));
    EXPECT_EQ(progress_.back(), (kSends - 1) / 2);
}

// Posted messages keep their order; a timer that is due at once still waits until the queue is
// empty, so everything posted during initialisation is handled first.
TEST_F(DialogTest, PostsKeepOrderAndTimersComeAfterQueuedMessages) {
    ScriptedDialog dialog;
    dialog.onInit = [](ScriptedDialog& d) {
        EXPECT_TRUE(d.SetTimer(5, 5000));
        for (uintptr_t i = 0; i < 3; ++i)
            EXPECT_TRUE(d.Post(kMsgStep, i, 0));
    };
    dialog.onTimer = [](ScriptedDialog& d, uintptr_t id) {
        EXPECT_TRUE(d.KillTimer(id));
        EXPECT_FALSE(d.KillTimer(id));
        d.EndDialog(1);
    };
    EXPECT_EQ(dialog.DoModal(), 1);
    EXPECT_EQ(dialog.log,
              (std::vector<std::string>{"message 7:0", "message 7:1", "message 7:2", "timer 5"}));
}

TEST_F(DialogTest, MessagesToAnEndedDialogFailWithoutWaiting) {
    ScriptedDialog dialog;
    WindowHandle window = nullptr;
    WindowHandle bar = nullptr;
    std::thread worker;
    dialog.onInit = [&](ScriptedDialog& d) {
        window = d.Handle();
        bar = d.bar.Handle();
        // A send that may still be queued when the dialog goes away must come back (with 0).
        worker = std::thread([window] { EXPECT_EQ(SendMessageTo(window, kMsgStep, 1, 0), 0); });
        d.EndDialog(3);
    };
    EXPECT_EQ(dialog.DoModal(), 3);
    worker.join();
    EXPECT_EQ(dialog.Handle(), nullptr);
    EXPECT_FALSE(PostMessageTo(window, kMsgStep, 0, 0));
    EXPECT_FALSE(PostMessageTo(bar, kMsgProgressSetPos, 1, 0));
    EXPECT_EQ(SendMessageTo(window, kMsgStep, 0, 0), 0);
    std::thread([window] { EXPECT_EQ(SendMessageTo(window, kMsgStep, 0, 0), 0); }).join();
}

// A confirmation run from inside the outer dialog's initialisation, before the outer one shows;
// the inner loop also serves the outer dialog's messages, as the thread's only loop.
TEST_F(DialogTest, NestedModalDialogs) {
    ScriptedDialog outer;
    intptr_t innerResult = 0;
    outer.onInit = [&](ScriptedDialog& o) {
        ScriptedDialog inner(kAskDialog, &o);
        inner.onInit = [&](ScriptedDialog& i) {
            EXPECT_TRUE(o.Post(kMsgStep, 1, 0));
            EXPECT_TRUE(i.Post(kMsgFinish, 5, 0));
        };
        innerResult = inner.DoModal();
        EXPECT_TRUE(o.Post(kMsgFinish, 9, 0));
    };
    EXPECT_EQ(outer.DoModal(), 9);
    EXPECT_EQ(innerResult, 5);
    EXPECT_EQ(outer.log, (std::vector<std::string>{"message 7:1", "message 8:9"}));
}

// How a dialog ends and what DoModal returns.
struct EndRoute {
    const char* name;
    int templateId;
    std::function<void(ScriptedDialog&)> init;
    intptr_t expected;
};

class EndDialogTest : public DialogTest, public ::testing::WithParamInterface<EndRoute> {};

TEST_P(EndDialogTest, ReturnsTheResultOfTheRoute) {
    ScriptedDialog dialog(GetParam().templateId);
    dialog.onInit = GetParam().init;
    dialog.onCommand = [](ScriptedDialog& d, int id) { d.EndDialog(id); };
    EXPECT_EQ(dialog.DoModal(), GetParam().expected);
}

const EndRoute kEndRoutes[] = {
    {"EnterIsOk", kBarDialog, [](ScriptedDialog& d) { d.Post(kMsgCommand, 1, 0); }, kIdOk},
    {"EscapeIsCancel", kBarDialog, [](ScriptedDialog& d) { d.Post(kMsgCommand, 2, 0); }, kIdCancel},
    {"CloseBoxIsCancel", kBarDialog, [](ScriptedDialog& d) { d.Post(kMsgSysCommand, 0xF060, 0); },
     kIdCancel},
    {"OtherButtonReachesOnCommand", kAskDialog,
     [](ScriptedDialog& d) { d.Post(kMsgCommand, (0u << 16) | kYes, 0); }, kYes},
    {"EndedDuringInitialisation", kBarDialog, [](ScriptedDialog& d) { d.EndDialog(-5); }, -5},
    {"UnknownTemplate", 4242, nullptr, -1},
};
INSTANTIATE_TEST_SUITE_P(Routes, EndDialogTest, ::testing::ValuesIn(kEndRoutes),
                         [](const auto& info) { return std::string(info.param.name); });

// The range limits the position as a progress bar does; the record shows what the bar shows.
TEST_F(DialogTest, ProgressPositionIsClampedToTheRange) {
    ScriptedDialog dialog;
    dialog.onInit = [](ScriptedDialog& d) {
        d.bar.SetRange(0, 100);
        d.bar.SetPos(150);
        d.bar.SetPos(-3);
        EXPECT_EQ(SendMessageTo(d.bar.Handle(), kMsgProgressSetPos, 40, 0), 0);  // previous
        d.EndDialog(0);
    };
    dialog.DoModal();
    EXPECT_EQ(progress_, (std::vector<int>{100, 0, 40}));
}

}  // namespace
}  // namespace platform::testing
