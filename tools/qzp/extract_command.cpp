// qzp extract: unpacks a package, or some of its entries, through PackageExtract: the code path
// the installer itself uses.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "package/block_pipeline.h"
#include "package/package_entry.h"
#include "package/verify.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/package_file.h"

namespace {

struct ExtractArguments {
    std::string file;
    std::string directory;
    std::vector<std::string> names;
    unsigned jobs = 0;
};

// ProgressProc carries no context pointer, so the bar of the one running extraction lives here.
ProgressBar* g_bar = nullptr;

void ShowProgress(uint32_t totalLow, uint32_t totalHigh, uint32_t doneLow, uint32_t doneHigh,
                  const char16_t*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    if (g_bar != nullptr) {
        g_bar->Show((static_cast<uint64_t>(doneHigh) << 32) | doneLow,
                    (static_cast<uint64_t>(totalHigh) << 32) | totalLow);
    }
}

// The entry stored under `name`. Also accepts `/` for `\` and a directory without its `\`.
PackageEntry* FindByName(const OpenedPackage& package, const std::string& name) {
    std::string backslashed = name;
    for (char& c : backslashed) {
        if (c == '/')
            c = '\\';
    }
    for (const std::string& wanted : {name, backslashed, backslashed + "\\"}) {
        for (uint32_t k = 0; k < package.count; ++k) {
            if (EntryName(package.entries[k]) == wanted) {
                return package.entries[k];
            }
        }
    }
    return nullptr;
}

int RunExtract(const ExtractArguments& args) {
    std::u16string target;
    std::string error;
    if (!ToDevicePath(args.directory, target, error)) {
        ReportFailure(args.directory, error);
        return 2;
    }
    OpenedPackage package;
    if (const int opened = package.Open(args.file); opened != 0) {
        return opened;
    }
    std::vector<PackageEntry*> chosen;
    if (args.names.empty()) {
        chosen.assign(package.entries, package.entries + package.count);
    } else {
        for (const std::string& name : args.names) {
            PackageEntry* entry = FindByName(package, name);
            if (entry == nullptr) {
                return ReportFailure(args.file, name + ": not in the package");
            }
            if (std::find(chosen.begin(), chosen.end(), entry) == chosen.end()) {
                chosen.push_back(entry);
            }
        }
    }
    std::error_code code;
    std::filesystem::create_directories(args.directory, code);
    if (!std::filesystem::is_directory(args.directory, code)) {
        return ReportFailure(args.directory, "cannot create the directory");
    }
    if (chosen.empty()) {
        return 0;  // an empty package: nothing to unpack
    }
    if (target.back() != u'\\') {
        target += u'\\';  // extraction joins the target and the stored name without a separator
    }
    PackageSetJobs(package.archive, args.jobs);
    ProgressBar bar("extracting", StderrIsTerminal());
    g_bar = &bar;
    const int32_t result =
        PackageExtract(package.archive, chosen.data(), static_cast<uint32_t>(chosen.size()),
                       target.c_str(), &ShowProgress, 1);
    g_bar = nullptr;
    bar.Finish();
    if (result != 1) {
        PackageProblem problem{};
        if (PackageLastProblem(package.archive, &problem) != 1) {
            return ReportFailure(args.file, "extraction failed");
        }
        return ReportFailure(args.file, DescribeProblem(package, problem));
    }
    package.Release();  // closed by the extraction (close flag)
    return 0;
}

}  // namespace

void AddExtractCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<ExtractArguments>();
    CLI::App* extract = app.add_subcommand(
        "extract",
        "Unpack every entry of a package, or only the entries named, into DIR (created when "
        "missing) the way the installer does it. Existing files are overwritten. Stops at the "
        "first damaged entry and names it.");
    extract->add_option("FILE", args->file, "The package")->required();
    extract->add_option("DIR", args->directory, "The directory to unpack into")->required();
    extract->add_option("NAME", args->names,
                        "Stored names of the entries to unpack (`/` may stand for `\\`); a "
                        "named directory is created, not filled");
    extract
        ->add_option("--jobs", args->jobs,
                     "Threads that inflate blocks (default: one per processor); files are "
                     "written in the same order on one thread whatever the number")
        ->check(CLI::Range(1u, 64u));
    extract->callback([args, &status] { status = RunExtract(*args); });
}
