// qzp check: what a device in a given state would do with a package, decided by the installer's
// own code: the manifest read as the installer reads it, the version gate's decision
// (DecideUpdate), the check of the whole package and the extraction plan.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "app/device_paths.h"
#include "app/update_decision.h"
#include "package/install_plan.h"
#include "package/package.h"
#include "package/verify.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/package_file.h"
#include "tools/qzp/tree_listing.h"

namespace {

struct CheckArguments {
    std::string file;
    std::optional<std::string> installed;
    bool noRecord = false;
    std::string device;
    std::optional<int> tips;
    bool json = false;
};

constexpr char kInvalidPackage[] = "Invalid update File";

void NoProgress(uint32_t, uint32_t, uint32_t, uint32_t, const char16_t*, uint32_t, uint32_t,
                uint32_t, uint32_t, uint32_t) {}

struct Prediction {
    std::string outcome;  // refuse, patch, full-asks, full-no-question
    std::string message;  // the refusal's message box text
    std::string packageVersion;
    std::string installedVersion;
};

// Reads the manifest as the installer does: the entry the plan names, unpacked, then opened as a
// settings file. False when the device would call the package invalid.
bool ReadFacts(OpenedPackage& package, app::UpdateFacts& facts) {
    PlanOptions options;
    options.manifestRules = true;
    InstallPlan plan;
    if (PlanPackage(package.archive, package.entries, package.count, options, plan) == 0) {
        return false;
    }
    if (plan.manifest == kPlanNoEntry) {
        return true;  // no manifest: a full package with an empty version
    }
    ScratchDirectory scratch;
    std::u16string target;
    std::string error;
    if (!scratch.ok() || !ToDevicePath(scratch.path() + "/", target, error)) {
        return false;
    }
    if (target.back() != u'\\') {
        target += u'\\';
    }
    PackageEntry* manifest = package.entries[plan.manifest];
    if (PackageExtract(package.archive, &manifest, 1, target.c_str(), &NoProgress, 0) == 0) {
        return false;
    }
    return app::ReadManifestFacts((target + platform::Utf8ToUtf16(EntryName(manifest))).c_str(),
                                  facts);
}

Prediction Predict(const CheckArguments& args, OpenedPackage& package) {
    Prediction result;
    app::UpdateFacts facts;
    const bool manifestRead = ReadFacts(package, facts);
    result.packageVersion = platform::Utf16ToUtf8(facts.packageVersion);
    if (!args.device.empty()) {
        // From here on paths are the device image's: case-insensitive, under DIR.
        platform::SetExactHostPaths(false);
        platform::SetDeviceRoot(args.device);
        facts.recordFound =
            app::ReadRecordVersion(app::kInstalledRecordPath, facts.installedVersion);
        facts.showUpdateTips = app::ReadShowUpdateTips(app::kCardSettingsPath);
    } else {
        facts.recordFound = args.installed.has_value();
        facts.installedVersion = platform::Utf8ToUtf16(args.installed.value_or(""));
    }
    if (args.tips) {
        facts.showUpdateTips = *args.tips;
    }
    const app::UpdateDecision decision = app::DecideUpdate(facts);
    result.installedVersion = platform::Utf16ToUtf8(decision.installedVersion);
    if (!manifestRead) {
        result.outcome = "refuse";
        result.message = kInvalidPackage;
        return result;
    }
    PlanTree tree = PlanTree::kEmpty;
    switch (decision.kind) {
        case app::UpdateKind::kRefusePatchMismatch:
            result.outcome = "refuse";
            result.message = platform::Utf16ToUtf8(decision.refusalText);
            return result;
        case app::UpdateKind::kPatch:
            result.outcome = "patch";
            tree = PlanTree::kKeep;
            break;
        case app::UpdateKind::kFullAsks:
            result.outcome = "full-asks";
            break;
        case app::UpdateKind::kFullNoQuestion:
            result.outcome = "full-no-question";
            break;
    }
    // The check of the whole package, and with a device image the plan against its tree.
    bool valid = package.count != 0 && PackageVerify(package.archive, package.entries,
                                                     package.count, nullptr, nullptr, nullptr) == 1;
    if (valid && !args.device.empty()) {
        PlanOptions options;
        options.target = app::kFlashVolume;
        options.tree = tree;
        options.manifestRules = true;
        InstallPlan plan;
        valid = PlanPackage(package.archive, package.entries, package.count, options, plan) == 1;
    }
    if (!valid) {
        result.outcome = "refuse";
        result.message = kInvalidPackage;
    }
    return result;
}

int RunCheck(const CheckArguments& args) {
    const int states =
        (args.installed ? 1 : 0) + (args.noRecord ? 1 : 0) + (args.device.empty() ? 0 : 1);
    if (states != 1) {
        std::fprintf(stderr,
                     "qzp: give one of --installed VERSION, --no-record or --device DIR; see "
                     "'qzp check --help'\n");
        return 2;
    }
    if (!args.device.empty()) {
        std::error_code code;
        if (!std::filesystem::is_directory(args.device, code)) {
            return ReportFailure(args.device, "not a device image directory");
        }
    }
    OpenedPackage package;
    Prediction result;
    {
        // A package the installer cannot open is refused as invalid.
        std::u16string path;
        std::string error;
        std::error_code code;
        if (!std::filesystem::is_regular_file(args.file, code)) {
            return ReportFailure(args.file, "no such file");
        }
        if (!ToDevicePath(args.file, path, error)) {
            return ReportFailure(args.file, error);
        }
        if (PackageOpen(path.c_str(), &package.archive, &package.entries, &package.count, 0) != 1) {
            package.archive = nullptr;
            result.outcome = "refuse";
            result.message = kInvalidPackage;
        } else {
            result = Predict(args, package);
        }
    }
    std::string line;
    if (result.outcome == "refuse") {
        line = "refuse: " + Printable(result.message);
    } else if (result.outcome == "patch") {
        line = "patch";
    } else if (result.outcome == "full-asks") {
        line = "full update: asks first";
    } else {
        line = "full update: no question";
    }
    if (args.json) {
        const nlohmann::ordered_json document = {
            {"outcome", result.outcome},
            {"message", ValidUtf8(result.message)},
            {"packageVersion", ValidUtf8(result.packageVersion)},
            {"installedVersion", ValidUtf8(result.installedVersion)}};
        std::cout << document.dump(2) << "\n";
    } else {
        std::printf("%s\n", line.c_str());
    }
    return result.outcome == "refuse" ? 1 : 0;
}

}  // namespace

void AddCheckCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<CheckArguments>();
    CLI::App* check = app.add_subcommand(
        "check",
        "Print what a device in the given state would do with the package, decided by the "
        "installer's own code: 'refuse: MESSAGE' (the message box it would show), 'patch', "
        "'full update: asks first' or 'full update: no question'. Exit 0 when the device would "
        "install, 1 when it would refuse.");
    check->add_option("FILE", args->file, "The package")->required();
    check->add_option("--installed", args->installed,
                      "The device has a version record with this version");
    check->add_flag("--no-record", args->noRecord, "The device has no version record");
    check->add_option("--device", args->device,
                      "Read the state from a device image directory (its version record, card "
                      "settings and installed tree)");
    check
        ->add_option("--tips", args->tips,
                     "IsShowUpdateTips of the card settings (default: the device image's, else "
                     "1)")
        ->check(CLI::Range(0, 1));
    check->add_flag("--json", args->json,
                    "Print {\"outcome\", \"message\", \"packageVersion\", \"installedVersion\"}");
    check->callback([args, &status] { status = RunCheck(*args); });
}
