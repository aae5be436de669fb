#include "tools/qzp/command_kit.h"

#ifdef _WIN32
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/package_acceptance.h"
#include "package/package_scan.h"
#include "package/verify.h"
#include "platform/file.h"
#include "platform/replace.h"
#include "platform/volume.h"
#include "tools/qzp/host_path.h"

int ReportUsage(const CLI::App& command, const std::string& message) {
    std::string words;
    for (const CLI::App* at = &command; at->get_parent() != nullptr; at = at->get_parent()) {
        words = " " + at->get_name() + words;
    }
    std::fflush(stdout);  // what was printed before comes first where both streams meet
    std::fprintf(stderr, "qzp: %s; see 'qzp%s --help'\n", Printable(message).c_str(),
                 words.c_str());
    return 2;
}

const CLI::Validator& HostPathCheck() {
    static const CLI::Validator check(
        [](std::string& path) {
            std::u16string device;
            std::string error;
            return ToDevicePath(path, device, error) ? std::string() : error;
        },
        "");
    return check;
}

void AddCodePageOption(CLI::App* command, uint32_t& codePage) {
    command
        ->add_option("--codepage", codePage,
                     "The device's code page, which stored names are in: a Windows code page "
                     "number such as 1252, 936 or 65001 (UTF-8)")
        ->check(CLI::Validator(
            [](std::string& text) {
                uint32_t number = 0;
                return CLI::detail::lexical_cast(text, number) &&
                               platform::CodePageAvailable(number)
                           ? std::string()
                           : "no code page this build converts with: " + text;
            },
            "CP"))
        ->default_str(std::to_string(platform::kDefaultCodePage));
}

CodePageFiles::CodePageFiles(uint32_t codePage)
    : files_(platform::FileSystem::HostPaths(nullptr, codePage)),
      bound_(std::make_unique<platform::UseFiles>(*files_)) {}

CodePageFiles::~CodePageFiles() = default;

std::string ShownName(const std::string& stored) {
    std::u16string wide;
    if (!platform::FromCodePage(stored, wide)) {
        return stored;
    }
    return platform::Utf16ToUtf8(wide);
}

int ReportFailure(const std::string& subject, const std::string& message) {
    std::string path = subject;
#ifdef _WIN32
    std::replace(path.begin(), path.end(), '/', '\\');  // the host's separator throughout
#endif
    std::fflush(stdout);
    std::fprintf(stderr, "qzp: %s: %s\n", Printable(path).c_str(), Printable(message).c_str());
    return 1;
}

void PrintJson(const nlohmann::ordered_json& document) {
    nlohmann::ordered_json versioned = {{"format", kJsonFormat}};
    versioned.update(document);
    const std::string text = platform::JsonText(
        versioned.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    std::printf("%s\n", text.c_str());
}

nlohmann::ordered_json OrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

OpenedPackage::~OpenedPackage() {
    PackageClose(archive);
}

int OpenedPackage::Open(const std::string& file) {
    if (const int opened = OpenIfPackage(file); opened != 0) {
        return opened;
    }
    if (archive == nullptr) {
        return ReportFailure(file, "not a package, or its catalogue is damaged");
    }
    return 0;
}

int OpenedPackage::OpenIfPackage(const std::string& file) {
    std::u16string device;
    std::string error;
    if (!ToDevicePath(file, device, error)) {
        return ReportFailure(file, error);
    }
    if (const std::string problem = ReadProblem(file); !problem.empty()) {
        return ReportFailure(file, problem);
    }
    if (!OpenQuietly(device.c_str()) && PackageLastOpenFault() == PackageFault::kOutOfMemory) {
        return ReportFailure(file, PackageFaultText(PackageFault::kOutOfMemory));
    }
    return 0;
}

bool OpenedPackage::OpenQuietly(const char16_t* path) {
    if (PackageOpen(path, &archive, &entries, &count, 0) != 1) {
        archive = nullptr;
        entries = nullptr;
        count = 0;
        return false;
    }
    return true;
}

PackageEntryRecord OpenedPackage::Record(uint32_t k) const {
    PackageEntryRecord record;
    PackageGetEntryRecord(archive, entries[k], &record);
    return record;
}

int CheckOutput(const std::string& output, const std::vector<std::string>& inputs) {
    namespace fs = std::filesystem;
    std::error_code code;
    const fs::path out = FsPath(output);
    if (fs::is_directory(out, code)) {
        return ReportFailure(output, "is a directory; name the package file to write");
    }
    fs::path parent = out.parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    // A folder that cannot be resolved is named as given; the creation of the probe below says why
    // it cannot be written, in the words of the file layer.
    fs::path folder = fs::canonical(parent, code);
    if (code) {
        folder = parent;
    }
    for (const std::string& input : inputs) {
        if (fs::exists(out, code) && fs::equivalent(out, FsPath(input), code)) {
            return ReportFailure(
                output, "is " + input + ", one of the inputs; write the package elsewhere");
        }
        for (fs::path at = folder;; at = at.parent_path()) {
            if (fs::equivalent(at, FsPath(input), code)) {
                return ReportFailure(output, "lies inside " + input +
                                                 ", one of the inputs; write the package "
                                                 "outside it");
            }
            if (at == at.parent_path()) {
                break;
            }
        }
    }
    // A file of our own beside OUT, created and removed, shows that OUT can be written.
    std::u16string probe;
    std::string error;
    if (!ToDevicePath(FsText(folder / ".qzp-write-check"), probe, error)) {
        return ReportFailure(output, error);
    }
    std::FILE* stream = platform::OpenStream(probe.c_str(), u"wbx");
    // The reason is the failed creation's, not that of the look for a leftover probe after it.
    std::string reason = stream == nullptr ? OsReason() : std::string();
    if (stream == nullptr &&
        platform::GetAttributes(probe.c_str()) != platform::kInvalidFileAttributes) {
        platform::RemoveFile(probe.c_str());  // left by a run that was killed
        stream = platform::OpenStream(probe.c_str(), u"wbx");
        reason = stream == nullptr ? OsReason() : std::string();
    }
    if (stream == nullptr) {
        return ReportFailure(output, "cannot write here: " + FsText(folder) + ": " + reason);
    }
    std::fclose(stream);
    platform::RemoveFile(probe.c_str());
    return 0;
}

std::string DescribeProblem(const OpenedPackage& package, const PackageProblem& problem) {
    std::string text;
    if (problem.entryIndex < package.count) {
        text = ShownName(package.Record(problem.entryIndex).storedName) + ": ";
    }
    return text + PackageProblemText(problem);
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

namespace {
bool quiet = false;

uint64_t PackedBytes(const OpenedPackage& package) {
    uint64_t bytes = 0;
    for (uint32_t k = 0; k < package.count; ++k) {
        bytes += package.Record(k).compressedSize;
    }
    return bytes;
}
}  // namespace

void ShowChecked(void* bar, int percent) {
    auto* shown = static_cast<ProgressBar*>(bar);
    if (percent < 0) {
        shown->Finish();
    } else {
        shown->Show(static_cast<uint64_t>(percent), 100);
    }
}

void AddQuietOption(CLI::App* command) {
    command->add_flag_callback(
        "--quiet", [] { quiet = true; },
        "Draw no progress bar (one is drawn on a terminal for large work)");
}

bool ProgressWanted(uint64_t bytes) {
    return !quiet && StderrIsTerminal() && bytes >= kProgressFromBytes;
}

ProgressBar::ProgressBar(const char* label, bool enabled)
    : label_(label), enabled_(enabled && !quiet) {}

ProgressBar::~ProgressBar() {
    Finish();
}

void ProgressBar::Show(uint64_t done, uint64_t total) {
    if (!enabled_) {
        return;
    }
    if (total == 0) {
        std::fprintf(stderr, "\r%s ...", label_);
        std::fflush(stderr);
        shown_ = 0;
        return;
    }
    const int percent = static_cast<int>(std::min<uint64_t>(100, done * 100 / total));
    if (percent == shown_) {
        return;
    }
    shown_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label_, filled,
                 "########################################", kWidth - filled, "", percent);
    std::fflush(stderr);
}

void ProgressBar::Finish() {
    if (enabled_ && shown_ >= 0) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
    shown_ = -1;
}

namespace {

// The device's verdict on the open package, its bytes handed to `tap` as they are read.
bool Accepted(OpenedPackage& package, PackageContentsProc tap, void* tapContext,
              app::StepOutcome& refusal, const char* label) {
    ProgressBar bar(label, ProgressWanted(PackedBytes(package)));
    PackageSetScanTap(package.archive, tap, tapContext);
    const bool installs = app::AnyDeviceInstalls(package.archive, package.entries, package.count,
                                                 refusal, &ShowChecked, &bar);
    PackageSetScanTap(package.archive, nullptr, nullptr);
    bar.Finish();
    return installs;
}

std::string RefusalText(const app::StepOutcome& refusal) {
    return "no device installs it: " + app::DescribeStep(refusal);
}

}  // namespace

std::string VerifyProblem(OpenedPackage& package, unsigned jobs, PackageContentsProc tap,
                          void* tapContext) {
    PackageSetJobs(package.archive, jobs);
    app::StepOutcome refusal;
    if (Accepted(package, tap, tapContext, refusal, "verifying")) {
        return {};
    }
    // A damaged entry is named the way an extraction names it.
    PackageProblem problem{};
    if (refusal.step == app::Step::kCheck && PackageLastProblem(package.archive, &problem) == 1 &&
        problem.fault != PackageFault::kNone) {
        return DescribeProblem(package, problem);
    }
    return RefusalText(refusal);
}

int VerifyPackage(OpenedPackage& package, const std::string& file, unsigned jobs,
                  PackageContentsProc tap, void* tapContext) {
    const std::string problem = VerifyProblem(package, jobs, tap, tapContext);
    return problem.empty() ? 0 : ReportFailure(file, problem);
}

std::string DeviceRefusal(OpenedPackage& package, PackageContentsProc tap, void* tapContext) {
    app::StepOutcome refusal;
    return Accepted(package, tap, tapContext, refusal, "checking") ? std::string()
                                                                   : RefusalText(refusal);
}

int WriteTextFile(const std::string& path, const std::string& text, bool ownerOnly) {
    std::u16string target;
    std::string error;
    if (!ToDevicePath(path, target, error)) {
        return ReportFailure(path, error);
    }
    bool permitted = true;
    const auto privatize = [&](std::FILE* stream) {
#ifndef _WIN32
        permitted = !ownerOnly || fchmod(fileno(stream), S_IRUSR | S_IWUSR) == 0;
#else
        (void)stream;  // a new file takes the folder's permissions
        (void)ownerOnly;
#endif
        return permitted;
    };
    if (platform::ReplaceFileWith(target.c_str(), platform::ScratchRule::OfThisRun(), text.data(),
                                  text.size(), privatize) != platform::ReplaceResult::kReplaced) {
        return ReportFailure(path, permitted ? "cannot write: " + OsReason()
                                             : "cannot make the file private to its owner");
    }
    return 0;
}
