// qzp check: what a device in a given state would do with a package, decided by running the
// installer's own update session (app/update_session.h) with a policy that shows nothing and
// writes nothing.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "app/update_session.h"
#include "platform/file.h"
#include "platform/text.h"
#include "signature/minisign.h"
#include "signature/signature_files.h"
#include "tools/qzp/code_page_option.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/opened_package.h"
#include "tools/qzp/output.h"

namespace {

struct CheckArguments {
    std::string file;
    uint32_t codePage = platform::kDefaultCodePage;
    std::optional<std::string> installed;
    bool noRecord = false;
    std::string device;
    std::optional<int> tips;
    std::string pubkey;
    std::string sig;
    std::optional<uint64_t> freeKb;
    bool json = false;
};

// A host file the session will ask for, read while paths are still the host's; nothing when it
// cannot be read.
std::optional<std::string> ReadHost(const std::string& path, std::size_t limit) {
    std::u16string device;
    std::string error;
    std::string text;
    if (!ToDevicePath(path, device, error) || ReadSmallFile(device.c_str(), limit, &text) != 0) {
        return std::nullopt;
    }
    return text;
}

// A device image: the session's own reading of the device's files, except the signature, which
// lies beside the package (FILE.minisig or --sig), and the tips when --tips says them.
class ImageDevice : public app::DeviceState {
  public:
    explicit ImageDevice(const CheckArguments& args)
        : signature_(ReadHost(args.sig.empty() ? args.file + ".minisig" : args.sig,
                              kMaxSignatureFileBytes)),
          tips_(args.tips) {}

    bool ReadSignature(std::string& text) override {
        text = signature_.value_or("");
        return signature_.has_value();
    }
    int32_t ShowUpdateTips() override {
        return tips_ ? *tips_ : app::DeviceState::ShowUpdateTips();
    }

  protected:
    std::optional<std::string> signature_;
    std::optional<int> tips_;
};

// The device as the command line states it: its record, tips, trusted keys and room; its tree
// unknown (the plan checks the names alone).
class StatedDevice : public ImageDevice {
  public:
    StatedDevice(const CheckArguments& args, std::optional<std::string> keys)
        : ImageDevice(args), args_(args), keys_(std::move(keys)) {}

    bool ChecksSignatures() override { return keys_.has_value(); }
    bool ReadTrustedKeys(std::string& text) override {
        text = keys_.value_or("");
        return keys_.has_value();
    }
    bool ReadInstalledVersion(std::u16string& version, std::string&) override {
        version = platform::Utf8ToUtf16(args_.installed.value_or(""));
        return args_.installed.has_value();
    }
    int32_t ShowUpdateTips() override { return tips_.value_or(1); }
    const char16_t* PlanTarget() override { return nullptr; }
    bool VolumeRoom(bool, uint64_t& available, uint64_t& unitBytes) override {
        if (!args_.freeKb) {
            return false;
        }
        available = *args_.freeKb * 1024;
        unitBytes = 1024;
        return true;
    }
    uint64_t InstalledFileSize(const std::u16string&) override { return 0; }

  private:
    const CheckArguments& args_;
    std::optional<std::string> keys_;
};

// `into`: the JSON document is kept there for another command instead of printed.
int RunCheck(const CLI::App& command, const CheckArguments& args,
             nlohmann::ordered_json* into = nullptr) {
    const int states =
        (args.installed ? 1 : 0) + (args.noRecord ? 1 : 0) + (args.device.empty() ? 0 : 1);
    if (states != 1) {
        return ReportUsage(command, "give one of --installed VERSION, --no-record or --device DIR");
    }
    if (!args.device.empty() && (!args.pubkey.empty() || args.freeKb)) {
        return ReportUsage(command,
                           "--pubkey and --free-kb state what a device image already holds; give "
                           "them without --device");
    }
    if (!args.device.empty() && command.count("--codepage") > 0) {
        return ReportUsage(command,
                           "--codepage states what a device image already holds "
                           "(.named/codepage); give it without --device");
    }
    // The session reads the device's own state from a device image: its paths, case-insensitive,
    // under DIR, its names in the code page the image states. The package stays open on the
    // host's files it was opened from, its names read in the same code page.
    std::unique_ptr<platform::FileSystem> image;
    if (!args.device.empty()) {
        if (const std::string problem = platform::FileSystem::ImageProblem(args.device);
            !problem.empty()) {
            return ReportFailure(args.device, problem);
        }
        std::string error;
        std::string file;
        if (!(image = platform::FileSystem::OpenImage(args.device, error, &file))) {
            return ReportFailure(args.device + "/" + file, error);
        }
    }
    const CodePageFiles names(image ? image->CodePage() : args.codePage);
    // A file the installer cannot open as a package is its refusal, not a failure of qzp.
    OpenedPackage package;
    if (package.OpenIfPackage(args.file) != 0) {
        return 1;
    }
    std::error_code code;
    const uint64_t packageBytes = std::filesystem::file_size(FsPath(args.file), code);
    // Host files are read before a device image is bound.
    std::optional<std::string> keys;
    if (!args.pubkey.empty()) {
        if (const std::string problem = ReadProblem(args.pubkey); !problem.empty()) {
            return ReportFailure(args.pubkey, problem);
        }
        if (!(keys = ReadHost(args.pubkey, kMaxKeyFileBytes))) {
            return ReportFailure(args.pubkey, "cannot read: " + OsReason());
        }
    }
    std::unique_ptr<app::DeviceState> device;
    if (args.device.empty()) {
        device = std::make_unique<StatedDevice>(args, std::move(keys));
    } else {
        device = std::make_unique<ImageDevice>(args);
    }
    std::optional<platform::UseFiles> bound;
    if (image) {
        bound.emplace(*image);
    }

    app::SessionPolicy policy;
    policy.writes = false;
    ProgressBar bar("checking", ProgressWanted(code ? 0 : packageBytes));
    policy.checking = &ShowChecked;
    policy.context = &bar;
    app::UpdateSession session(*device, policy, nullptr);
    session.Adopt(package.archive, package.entries, package.count);
    package.Release();  // the session closes it
    const bool installs = session.Prepare(nullptr);
    if (!installs && session.Stopped().reason == app::kOutOfMemoryReason) {
        return ReportFailure(args.file, app::kOutOfMemoryReason);  // the host's memory, no verdict
    }

    std::string outcome;
    std::string message;
    if (!installs) {
        outcome = "refuse";
        message = platform::Utf16ToUtf8(app::BoxOf(session.Stopped()).text);
    } else if (session.Decision().kind == app::UpdateKind::kPatch) {
        outcome = "patch";
    } else {
        outcome = session.Asked() ? "full-asks" : "full-no-question";
    }
    const app::StepOutcome& stop = session.Stopped();
    // What stopped the run: its reason, or what was found where the finding itself refuses (the
    // decision's versions).
    const std::string reason = installs ? "" : stop.reason.empty() ? stop.detail : stop.reason;
    // The entry it names, if any: which file of the package to look at.
    const std::string entry = installs ? "" : platform::Utf16ToUtf8(stop.entry);
    if (args.json || into != nullptr) {
        const nlohmann::ordered_json document(
            {{"outcome", outcome},
             {"message", OrNull(ValidUtf8(message))},
             {"step", OrNull(installs ? "" : app::StepName(stop.step))},
             {"entry", OrNull(ValidUtf8(entry))},
             {"reason", OrNull(ValidUtf8(reason))},
             {"packageVersion",
              OrNull(ValidUtf8(platform::Utf16ToUtf8(session.Facts().packageVersion)))},
             {"installedVersion",
              OrNull(ValidUtf8(platform::Utf16ToUtf8(session.Decision().installedVersion)))}});
        if (into != nullptr) {
            *into = document;
        } else {
            PrintJson(document);
        }
    } else if (outcome == "refuse") {
        // The box alone is the same for most refusals: the step and reason tell them apart.
        std::printf("refuse: %s\n  step: %s\n", Printable(message).c_str(),
                    app::StepName(stop.step));
        if (!entry.empty()) {
            std::printf("  entry: %s\n", Printable(entry).c_str());
        }
        std::printf("  reason: %s\n", Printable(reason).c_str());
    } else if (outcome == "patch") {
        std::printf("patch\n");
    } else {
        std::printf("full update: %s\n", session.Asked() ? "asks first" : "no question");
    }
    return installs ? 0 : 1;
}

}  // namespace

int PredictOnImage(const std::string& file, const std::string& device,
                   nlohmann::ordered_json& prediction) {
    CheckArguments args;
    args.file = file;
    args.device = device;
    CLI::App command;  // nothing is parsed: only the checks of RunCheck ask it
    AddCodePageOption(&command, args.codePage);
    return RunCheck(command, args, &prediction);
}

void AddCheckCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<CheckArguments>();
    CLI::App* check = app.add_subcommand(
        "check",
        "Print what a device in the given state would do with the package, decided by the "
        "installer's own update session: 'refuse: MESSAGE' (the message box it would show, then "
        "the step that stops and its reason on lines of their own), 'patch', 'full update: asks "
        "first' or 'full update: no question'. Exit 0 when the "
        "device would install, 1 when it would refuse.");
    check->add_option("FILE", args->file, "The package")->required()->check(HostPathCheck());
    check->add_option("--installed", args->installed,
                      "The device has a version record with this version");
    check->add_flag("--no-record", args->noRecord, "The device has no version record");
    check
        ->add_option("--device", args->device,
                     "Read the state from a device image directory: its version record, card "
                     "settings, trusted keys (\\Windows\\qzpupdate.pub), installed tree and the "
                     "flash volume's room")
        ->check(HostPathCheck());
    check
        ->add_option("--tips", args->tips,
                     "IsShowUpdateTips of the card settings (default: the device image's, else "
                     "1)")
        ->check(CLI::Range(0, 1));
    check
        ->add_option("--pubkey", args->pubkey,
                     "Without --device: the device holds these trusted keys (a minisign public "
                     "key file), so it installs only a package signed by one of them")
        ->check(HostPathCheck());
    check
        ->add_option("--sig", args->sig,
                     "The package's signature, on a device that holds keys (default: "
                     "FILE.minisig)")
        ->check(HostPathCheck());
    check->add_option("--free-kb", args->freeKb,
                      "Without --device: the room in KB the flash volume offers the update (for "
                      "a full update, after the purge), counted in units of 1 KB; without it the "
                      "room is not checked");
    check->add_flag("--json", args->json,
                    "Print {\"outcome\", \"message\", \"step\", \"reason\", \"packageVersion\", "
                    "\"installedVersion\"}");
    AddCodePageOption(check, args->codePage);
    AddQuietOption(check);
    check->callback([check, args, &status] { status = RunCheck(*check, *args); });
}
