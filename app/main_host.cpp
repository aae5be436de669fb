// qzpupdate: the installer run on a developer's machine, against a device image directory.
#include <unistd.h>
#include <zlib.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "app/dialog_templates.h"
#include "app/resource.h"
#include "app/update_app.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/posix/host.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace {

using nlohmann::ordered_json;

// The --events record: what happened, one JSON line each, made from the installer's step
// outcomes and what the platform reports. Safe from any thread.
class EventRecord : public app::SessionObserver {
  public:
    bool Open(const std::string& path) {
        file_ = std::fopen(path.c_str(), "a");
        return file_ != nullptr;
    }

    void Emit(const ordered_json& event) {
        if (file_ == nullptr) {
            return;
        }
        const std::string line =
            platform::JsonText(event.dump(-1, ' ', false, ordered_json::error_handler_t::replace)) +
            "\n";
        std::lock_guard lock(mutex_);
        std::fputs(line.c_str(), file_);
        std::fflush(file_);
    }

    // The platform's reports, as events.
    platform::host::Observers Observers() {
        platform::host::Observers observers;
        observers.messageBox = [this](const std::u16string& caption, const std::u16string& text,
                                      uint32_t type) {
            Emit({{"event", "messagebox"},
                  {"caption", Utf8(caption)},
                  {"text", Utf8(text)},
                  {"icon", IconName(type)}});
        };
        // The bar is set after every block; the record keeps the positions it moves to.
        observers.progress = [this](int position) {
            if (lastPosition_.exchange(position) != position) {
                Emit({{"event", "progress"}, {"position", position}});
            }
        };
        observers.exit = [this](int status) { Emit({{"event", "exit"}, {"status", status}}); };
        return observers;
    }

    // The installer's step outcomes that a record shows.
    void OnStep(const app::StepOutcome& outcome) override {
        const int goesOn = outcome.GoesOn() ? 1 : 0;
        switch (outcome.step) {
            case app::Step::kConfirmation:
                Emit({{"event", "confirm"},
                      {"text", Utf8(outcome.message)},
                      {"result", goesOn != 0 ? platform::kIdOk : platform::kIdCancel}});
                break;
            case app::Step::kPurge:
                Emit({{"event", "purge"}, {"result", 1 - goesOn}});
                break;
            case app::Step::kExtraction:
                Emit({{"event", "decode_done"}, {"result", goesOn}});
                break;
            default:
                break;
        }
    }

    void OnSignature(const app::SignatureReport& report) override {
        Emit({{"event", "signature"},
              {"result", report.result},
              {"keyId", report.keyId},
              {"trustedComment", report.trustedComment},
              {"reason", report.reason}});
    }

  private:
    static std::string Utf8(const std::u16string& text) { return platform::Utf16ToUtf8(text); }

    static const char* IconName(uint32_t type) {
        switch (type & 0xF0) {
            case 0x10:
                return "stop";
            case 0x20:
                return "question";
            case 0x30:
                return "exclamation";
            case 0x40:
                return "information";
            default:
                return "none";
        }
    }

    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::atomic<int> lastPosition_{-1};
};

}  // namespace

int main(int argc, char** argv) {
    platform::ReturnLargeBlocksWhenFreed();
    CLI::App cli{
        "qzpupdate - the update installer, run on a device image.\n"
        "Installs \\SDMMC\\VORIZ.QZP of the image onto its \\ResidentFlash2\\ as the device "
        "would."};
    platform::host::Options options;
    std::string device = "device";
    std::string ui = (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) ? "terminal" : "headless";
    std::string answer = "timeout";
    cli.add_option("--device", device,
                   "directory that stands for the device's \\ (holds SDMMC/, ResidentFlash2/, "
                   "Windows/); .named/codepage in it states the device's code page (default "
                   "65001, UTF-8)")
        ->capture_default_str();
    cli.add_option("--ui", ui,
                   "terminal: dialogs drawn on the terminal, answered with the keyboard; "
                   "headless: every message box printed as one line '[CAPTION] TEXT' and "
                   "answered OK (default: terminal when stdin and stdout are terminals)")
        ->check(CLI::IsMember({"terminal", "headless"}));
    cli.add_option("--answer", answer,
                   "how the headless UI answers the confirmation dialog: ok, cancel, or timeout "
                   "(press nothing; its 5-second timer accepts)")
        ->check(CLI::IsMember({"ok", "cancel", "timeout"}))
        ->capture_default_str();
    cli.add_option("--time-scale", options.timeScale,
                   "factor for every wait (package and loader polls, the confirmation's timer, "
                   "the delay before the restart); 0 makes them instant")
        ->check(CLI::Range(0.0, 1000.0))
        ->capture_default_str();
    cli.set_version_flag("--version",
                         std::string("qzpupdate ") + QZP_VERSION + " (zlib " + zlibVersion() + ")");
    std::string eventsFile;
    cli.add_option("--events", eventsFile,
                   "append what happens as JSON lines to FILE (message boxes, confirmation, "
                   "signature, purge, progress, decode_done, restart, exit)");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return cli.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return cli.exit(e);
    } catch (const CLI::ParseError& e) {
        // Every usage error is one line and status 2, in the words qzp uses.
        std::string message = e.what();
        if (message.size() > 1 && message[0] >= 'A' && message[0] <= 'Z' && message[1] >= 'a' &&
            message[1] <= 'z') {
            message[0] = static_cast<char>(message[0] + ('a' - 'A'));
        }
        std::replace(message.begin(), message.end(), '\n', ' ');
        std::fprintf(stderr, "qzpupdate: %s; see 'qzpupdate --help'\n",
                     platform::Printable(message).c_str());
        return 2;
    }

    // Only a device image is worked on: any other folder would be written into as if it were one.
    if (const std::string problem = platform::FileSystem::ImageProblem(device); !problem.empty()) {
        std::fprintf(stderr, "qzpupdate: %s: %s\n", platform::Printable(device).c_str(),
                     problem.c_str());
        return 2;
    }

    // An events file that cannot be written is a usage error, not a silent loss of the record.
    // The vendor library's stand-in appends its "restart" event there too.
    EventRecord record;
    if (!eventsFile.empty()) {
        if (!record.Open(eventsFile)) {
            std::fprintf(stderr, "qzpupdate: %s: %s\n", eventsFile.c_str(), std::strerror(errno));
            return 2;
        }
        const std::filesystem::path absolute = std::filesystem::absolute(eventsFile);
        setenv("QZP_EVENTS_FILE", absolute.c_str(), 1);
    } else {
        unsetenv("QZP_EVENTS_FILE");
    }

    options.ui =
        ui == "terminal" ? platform::host::UiKind::kTerminal : platform::host::UiKind::kHeadless;
    options.answer = answer == "ok"       ? platform::host::Answer::kOk
                     : answer == "cancel" ? platform::host::Answer::kCancel
                                          : platform::host::Answer::kTimeout;
    options.answeredDialog = IDD_TIP_DIALOG;  // the confirmation is the one dialog answered
    platform::host::Configure(options);
    // The device image: every file call of the run, the decode thread's too, acts on it. The
    // vendor stand-in runs inside this process but knows nothing of it: it finds the image
    // through the environment. Names convert with the code page the image states, as the
    // device's system converts them with its own.
    std::string imageError;
    std::string imageFile;
    const std::unique_ptr<platform::FileSystem> files =
        platform::FileSystem::OpenImage(device, imageError, &imageFile);
    if (!files) {
        std::fprintf(stderr, "qzpupdate: %s: %s\n",
                     platform::Printable(device + "/" + imageFile).c_str(),
                     platform::Printable(imageError).c_str());
        return 2;
    }
    files->PlanFaults(platform::FaultPlanFromEnvironment());
    const platform::UseFiles bound(*files);
    setenv("QZP_DEVICE_ROOT", std::filesystem::absolute(device).c_str(), 1);
    platform::RegisterDialogTemplates(app::kDialogTemplates, app::kDialogTemplateCount);
    platform::host::SetObservers(record.Observers());
    theApp.SetRecord(&record);

    if (platform::Application::Current() != &theApp) {
        std::fprintf(stderr, "qzpupdate: the installer's application object is missing\n");
        return 1;
    }
    platform::host::RunApplication();
}
