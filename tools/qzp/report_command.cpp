// qzp report: a card back from the field, read as a support technician needs it: the package on
// it, what a device would do with it (when the card sits in a device image), and the installer's
// log on the card read back as runs, each with its outcome, what that means and what to do. As
// text, as JSON, or as one self-contained HTML page.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"
#include "signature/minisign.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/opened_package.h"
#include "tools/qzp/output.h"
#include "tools/qzp/report_page.h"
#include "tools/qzp/run_history.h"
#include "tools/qzp/signature_report.h"
#include "tools/qzp/tree_listing.h"

namespace {

using Json = nlohmann::ordered_json;

struct ReportArguments {
    std::string dir;
    std::string pubkey;
    std::string html;
    bool json = false;
};

// The entry of `dir` named `name` in any letter case, as the device finds it; "" when none.
std::string Child(const std::string& dir, const std::string& name) {
    std::error_code code;
    for (std::filesystem::directory_iterator it(FsPath(dir), code), end; !code && it != end;
         it.increment(code)) {
        const std::string found = FsText(it->path().filename());
        if (platform::EqualsIgnoringAsciiCase(std::string_view(found), std::string_view(name))) {
            return dir + "/" + found;
        }
    }
    return {};
}

Json TextOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(ValidUtf8(text));
}

// The package's facts as info gives them, and its signature checked against `keys` (none: not
// checked).
Json PackageFacts(const std::string& file, const std::string& keys) {
    Json facts = {{"file", ValidUtf8(file)}};
    std::error_code code;
    facts["packageBytes"] = std::filesystem::file_size(FsPath(file), code);
    facts["sha256"] = TextOrNull(FileSha256(file));
    TreeListing listing;
    OpenedPackage package;
    if (package.Open(file) != 0 || ListPackage(package, file, listing) != 0) {
        facts["readable"] = false;
        return facts;
    }
    facts["readable"] = true;
    facts["comment"] = ValidUtf8(listing.comment);
    facts["entries"] = listing.entries.size();
    const ManifestInfo* manifest = listing.manifest ? &*listing.manifest : nullptr;
    facts["version"] = manifest != nullptr ? TextOrNull(manifest->version) : Json(nullptr);
    facts["patch"] = manifest != nullptr && manifest->isPatch != 0;
    facts["oldVersion"] = manifest != nullptr && manifest->isPatch != 0
                              ? Json(ValidUtf8(manifest->oldVersion))
                              : Json(nullptr);
    facts["allowDowngrade"] = manifest != nullptr && manifest->allowDowngrade != 0;

    // The device's check and the signature's take one pass over the package.
    const SignatureSummary summary = SummarizeSignature(file);
    Json signature = nullptr;
    std::optional<std::string> device;  // the device's verdict, when the signature's pass ran
    if (summary.present) {
        signature = {{"readable", summary.readable},
                     {"keyId", summary.keyId},
                     {"trustedComment", ValidUtf8(summary.trustedComment)},
                     {"keys", TextOrNull(keys)},
                     {"verdict", nullptr}};
        std::u16string keyPath, signaturePath;
        std::string error;
        if (!keys.empty() && ToDevicePath(keys, keyPath, error) &&
            ToDevicePath(file + ".minisig", signaturePath, error)) {
            SignatureOutcome outcome;
            const std::string reason =
                VerifyPackageSignature(package, keyPath, signaturePath, outcome, 0, &device);
            signature["verdict"] = reason.empty() ? "good" : ValidUtf8(reason);
        }
    }
    const std::string kind = device ? *device : DeviceRefusal(package);
    facts["kind"] = kind.empty() ? DescribeKind(manifest) : kind;
    facts["signature"] = signature;
    return facts;
}

// The card's log (at most 4 MB of it; the installer keeps 64 KB); empty when there is none.
std::string LogText(const std::string& path) {
    std::u16string device;
    std::string error;
    std::string text;
    std::FILE* in = nullptr;
    if (path.empty() || !ToDevicePath(path, device, error) ||
        (in = platform::OpenStream(device.c_str(), u"rb")) == nullptr) {
        return text;
    }
    char buffer[8192];
    std::size_t got;
    while (text.size() < (4u << 20) && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        text.append(buffer, got);
    }
    std::fclose(in);
    return text;
}

std::string Str(const Json& value) {
    return value.is_string() ? value.get<std::string>() : value.is_null() ? "-" : value.dump();
}

// The report as lines of text, every value from the card printed as Printable.
void PrintText(const Json& report) {
    const Json& package = report["package"];
    std::printf("card:       %s (%s)\n", Printable(Str(report["card"])).c_str(),
                Str(report["kind"]).c_str());
    if (package.is_null()) {
        std::printf("package:    none on the card\n");
    } else {
        for (const char* key : {"file", "packageBytes", "sha256", "version", "kind", "comment"}) {
            if (package.contains(key)) {
                std::printf("%-11s %s\n", (std::string(key) + ":").c_str(),
                            Printable(Str(package[key])).c_str());
            }
        }
        const Json& signature = package.value("signature", Json(nullptr));
        std::printf("signature:  %s\n",
                    signature.is_null()
                        ? "none"
                        : Printable("key " + Str(signature["keyId"]) +
                                    ", trusted comment: " + Str(signature["trustedComment"]) +
                                    "; checked: " + Str(signature["verdict"]))
                              .c_str());
    }
    if (!report["prediction"].is_null()) {
        const Json& p = report["prediction"];
        std::printf("prediction: %s %s\n", Str(p["outcome"]).c_str(),
                    Printable(Str(p["message"])).c_str());
    }
    int number = 0;
    for (const Json& run : report["runs"]) {
        std::printf(
            "\nrun %d: %s %s, installer %s, package %s%s\n", ++number,
            Printable(Str(run["start"])).c_str(),
            run["zone"].is_null() ? "(zone not known)" : Printable(Str(run["zone"])).c_str(),
            Printable(Str(run["installer"])).c_str(), Printable(Str(run["sha256"])).c_str(),
            run["currentPackage"] == true ? " (the package on the card)" : "");
        for (const Json& step : run["steps"]) {
            std::printf("  %s %s: %s\n", Printable(Str(step["time"])).c_str(),
                        Printable(Str(step["step"])).c_str(), Printable(Str(step["text"])).c_str());
        }
        const Json& outcome = run["outcome"];
        std::printf("  outcome: %s: %s\n  means:   %s\n  do:      %s\n",
                    Str(outcome["status"]).c_str(), Printable(Str(outcome["shown"])).c_str(),
                    Str(outcome["meaning"]).c_str(), Str(outcome["action"]).c_str());
    }
    if (number == 0) {
        std::printf("\nlog:        no runs on the card\n");
    }
}

int RunReport(const ReportArguments& args) {
    std::error_code code;
    if (!std::filesystem::is_directory(FsPath(args.dir), code)) {
        return ReportFailure(args.dir, "not a directory");
    }
    // A device image holds the card as SDMMC; a card folder is the card itself.
    const std::string sdmmc = Child(args.dir, "SDMMC");
    const bool image = !sdmmc.empty() && std::filesystem::is_directory(FsPath(sdmmc), code);
    const std::string card = image ? sdmmc : args.dir;
    std::string keys = args.pubkey;
    if (keys.empty() && image) {
        const std::string windows = Child(args.dir, "Windows");
        keys = windows.empty() ? "" : Child(windows, "qzpupdate.pub");
    }
    const std::string file = Child(card, "VORIZ.QZP");

    Json report = {{"format", 1},
                   {"card", ValidUtf8(card)},
                   {"kind", image ? "device image" : "card"},
                   {"package", nullptr},
                   {"prediction", nullptr}};
    if (!file.empty()) {
        report["package"] = PackageFacts(file, keys);
        if (image) {
            Json prediction;
            PredictOnImage(file, args.dir, prediction);
            report["prediction"] = prediction.is_null() ? Json(nullptr) : prediction;
        }
    }
    const Json& sha = report["package"].is_null() ? Json(nullptr) : report["package"]["sha256"];
    report["runs"] = ReadRuns(LogText(Child(card, "qzpupdate.log")),
                              sha.is_string() ? sha.get<std::string>() : "");
    if (!args.html.empty()) {
        if (WriteTextFile(args.html, ReportPage(report), false) != 0) {
            return 1;
        }
    }
    if (args.json) {
        PrintJson(report);
    } else if (args.html.empty()) {
        PrintText(report);
    }
    return 0;
}

}  // namespace

void AddReportCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<ReportArguments>();
    CLI::App* report = app.add_subcommand(
        "report",
        "Report on a card back from the field: DIR is a device image (the card is its SDMMC) or a "
        "card folder. Describes the package on it, the device's prediction (device images), and "
        "every run the installer logged on the card with its outcome, what it means and what to "
        "do.");
    report->add_option("DIR", args->dir, "The device image or card folder")
        ->required()
        ->check(HostPathCheck());
    report
        ->add_option("--pubkey", args->pubkey,
                     "Check the signature against these trusted keys (default: a device image's "
                     "Windows/qzpupdate.pub)")
        ->check(HostPathCheck());
    report->add_flag("--json", args->json,
                     "Print the report as JSON ({\"format\": 1, ...}; see docs/qzp.md)");
    report
        ->add_option("-o,--output", args->html,
                     "Write the report as one self-contained HTML page to this file")
        ->check(HostPathCheck());
    report->callback([args, &status] { status = RunReport(*args); });
}
