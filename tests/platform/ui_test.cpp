#include "platform/ui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>

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

// A dialog that records every message its handlers receive: its own messages answer three times
// their wParam, a command or a timer ends it with its id (the timer killed first), and what it
// does when it starts is set per test.
class ScriptedDialog : public Dialog {
  public:
    explicit ScriptedDialog(int templateId = kBarDialog, Dialog* parent = nullptr)
        : Dialog(templateId, parent) {}

    std::function<void(ScriptedDialog&)> onInit;
    std::string log;  // what the handlers saw, `;` after each
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
        log += "command " + std::to_string(id) + ";";
        EndDialog(id);
    }
    void OnTimer(uintptr_t id) override {
        log += "timer " + std::to_string(id) + ";";
        EXPECT_TRUE(KillTimer(id));
        EXPECT_FALSE(KillTimer(id));
        EndDialog(static_cast<intptr_t>(id));
    }
    bool OnMessage(uint32_t message, uintptr_t wParam, intptr_t, intptr_t& result) override {
        if (message < kMsgUser) {
            return false;
        }
        log += "message " + std::to_string(message - kMsgUser) + ":" + std::to_string(wParam) + ";";
        result = static_cast<intptr_t>(wParam) * 3;
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
// send returns only after the dialog's thread has handled it; then it posts its end. The range
// limits the bar's position, and the record shows what the bar shows.
TEST_F(DialogTest, WorkerSendsAreHandledInOrderBeforeTheyReturn) {
    constexpr int kSends = 200;
    ScriptedDialog dialog;
    std::thread worker;
    dialog.onInit = [&](ScriptedDialog& d) {
        d.bar.SetRange(0, 100);
        d.bar.SetPos(150);
        d.bar.SetPos(-3);
        worker = std::thread([&, window = d.Handle(), bar = d.bar.Handle()] {
            std::string expected;
            for (int i = 0; i < kSends; ++i) {
                SCOPED_TRACE(i);
                EXPECT_EQ(SendMessageTo(window, kMsgStep, static_cast<uintptr_t>(i), 0), i * 3);
                expected += "message 7:" + std::to_string(i) + ";";
                EXPECT_EQ(dialog.log, expected);
                EXPECT_EQ(SendMessageTo(bar, kMsgProgressSetPos, static_cast<uintptr_t>(i / 2), 0),
                          std::max(i - 1, 0) / 2);  // the previous position
            }
            EXPECT_TRUE(PostMessageTo(window, kMsgFinish, 42, 0));
        });
    };
    EXPECT_EQ(dialog.DoModal(), 42);
    worker.join();
    ASSERT_EQ(progress_.size(), static_cast<std::size_t>(kSends + 2));
    EXPECT_EQ(progress_[0], 100);
    EXPECT_EQ(progress_[1], 0);
    EXPECT_EQ(progress_.back(), (kSends - 1) / 2);
}

// How a dialog ends, what DoModal returns, and what its handlers saw in turn. Posted messages
// keep their order, and a timer due at once waits until the queue is empty. A confirmation run
// from the outer dialog's initialisation, before the outer one shows: its loop, the thread's
// only one, serves the outer dialog's messages too. Messages to an ended dialog fail without
// waiting, and a send that may still be queued when the dialog goes away comes back with 0.
TEST_F(DialogTest, EachRouteEndsWithItsResult) {
    WindowHandle window = nullptr;
    WindowHandle bar = nullptr;
    std::thread worker;
    const struct {
        const char* name;
        int templateId;
        std::function<void(ScriptedDialog&)> init;
        intptr_t result;
        const char* log = "";
    } routes[] = {
        {"Enter", kBarDialog, [](ScriptedDialog& d) { d.Post(kMsgCommand, 1, 0); }, kIdOk},
        {"Escape", kBarDialog, [](ScriptedDialog& d) { d.Post(kMsgCommand, 2, 0); }, kIdCancel},
        {"close box is Cancel", kBarDialog,
         [](ScriptedDialog& d) { d.Post(kMsgSysCommand, 0xF060, 0); }, kIdCancel},
        {"other button", kAskDialog,
         [](ScriptedDialog& d) { d.Post(kMsgCommand, (0u << 16) | kYes, 0); }, kYes, "command 12;"},
        {"ended in initialisation", kBarDialog,
         [&](ScriptedDialog& d) {
             window = d.Handle();
             bar = d.bar.Handle();
             worker =
                 std::thread([window] { EXPECT_EQ(SendMessageTo(window, kMsgStep, 1, 0), 0); });
             d.EndDialog(-5);
         },
         -5},
        {"unknown template", 4242, nullptr, -1},
        {"timer after posts", kBarDialog,
         [](ScriptedDialog& d) {
             EXPECT_TRUE(d.SetTimer(5, 5000));
             for (uintptr_t i = 0; i < 3; ++i)
                 EXPECT_TRUE(d.Post(kMsgStep, i, 0));
         },
         5, "message 7:0;message 7:1;message 7:2;timer 5;"},
        {"nested", kBarDialog,
         [](ScriptedDialog& o) {
             ScriptedDialog inner(kAskDialog, &o);
             inner.onInit = [&o](ScriptedDialog& i) {
                 EXPECT_TRUE(o.Post(kMsgStep, 1, 0));
                 EXPECT_TRUE(i.Post(kMsgFinish, 5, 0));
             };
             EXPECT_EQ(inner.DoModal(), 5);
             EXPECT_EQ(o.log, "message 7:1;");
             EXPECT_TRUE(o.Post(kMsgFinish, 9, 0));
         },
         9, "message 7:1;message 8:9;"},
    };
    for (const auto& route : routes) {
        SCOPED_TRACE(route.name);
        ScriptedDialog dialog(route.templateId);
        dialog.onInit = route.init;
        EXPECT_EQ(dialog.DoModal(), route.result);
        EXPECT_EQ(dialog.log, route.log);
        EXPECT_EQ(dialog.Handle(), nullptr);
    }
    worker.join();
    EXPECT_FALSE(PostMessageTo(window, kMsgStep, 0, 0));
    EXPECT_FALSE(PostMessageTo(bar, kMsgProgressSetPos, 1, 0));
    EXPECT_EQ(SendMessageTo(window, kMsgStep, 0, 0), 0);
    std::thread([window] { EXPECT_EQ(SendMessageTo(window, kMsgStep, 0, 0), 0); }).join();
}

}  // namespace
}  // namespace platform::testing
