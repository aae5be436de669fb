// qzpupdate: the installer run on a developer's machine, against a device image directory.
#include <unistd.h>
#include <zlib.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "app/dialog_templates.h"
#include "app/signature_check.h"
#include "app/update_app.h"
#include "app/update_dlg.h"
#include "platform/posix/host.h"
#include "platform/ui.h"

namespace {

// Records the end of the decode thread, which the platform cannot name by itself.
void ObserveMessage(uint32_t message, uintptr_t wParam, intptr_t) {
    if (message == WM_DECODE_DONE) {
        platform::host::EmitEvent(std::string("{\"event\":\"decode_done\",\"result\":") +
                                  (wParam != 0 ? "1" : "0") + "}");
    }
}

void ObserveSignature(const SignatureReport& report) {
    const nlohmann::ordered_json event = {{"event", "signature"},
                                          {"result", report.result},
                                          {"keyId", report.keyId},
                                          {"trustedComment", report.trustedComment},
                                          {"reason", report.reason}};
    platform::host::EmitEvent(
        event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App cli{
        "qzpupdate - the update installer, run on a device image.\n"
        "Installs \\SDMMC\\VORIZ.QZP of the image onto its \\ResidentFlash2\\ as the device "
        "would."};
    platform::host::Options options;
    std::string ui = (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) ? "terminal" : "headless";
    std::string answer = "timeout";
    cli.add_option("--device", options.deviceDirectory,
                   "directory that stands for the device's \\ (holds SDMMC/, ResidentFlash2/, "
                   "Windows/)")
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
    cli.add_option("--events", options.eventsFile,
                   "append what happens as JSON lines to FILE (message boxes, confirmation, "
                   "signature, purge, progress, decode_done, restart, exit)");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = cli.exit(e);
        return code == 0 ? 0 : 2;  // --help exits 0; every usage error is status 2
    }

    // An events file that cannot be written is a usage error, not a silent loss of the record.
    if (!options.eventsFile.empty()) {
        std::FILE* events = std::fopen(options.eventsFile.c_str(), "a");
        if (events == nullptr) {
            std::fprintf(stderr, "qzpupdate: %s: %s\n", options.eventsFile.c_str(),
                         std::strerror(errno));
            return 2;
        }
        std::fclose(events);
    }

    options.ui =
        ui == "terminal" ? platform::host::UiKind::kTerminal : platform::host::UiKind::kHeadless;
    options.answer = answer == "ok"       ? platform::host::Answer::kOk
                     : answer == "cancel" ? platform::host::Answer::kCancel
                                          : platform::host::Answer::kTimeout;
    platform::host::Configure(options);
    platform::RegisterDialogTemplates(app::kDialogTemplates, app::kDialogTemplateCount);
    platform::host::SetMessageObserver(&ObserveMessage);
    SetSignatureObserver(&ObserveSignature);

    if (platform::Application::Current() != &theApp) {
        std::fprintf(stderr, "qzpupdate: the installer's application object is missing\n");
        return 1;
    }
    platform::host::RunApplication();
}
