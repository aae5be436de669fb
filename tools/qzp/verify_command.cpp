// qzp verify: inflates every block and checks every size and CRC-32, writing nothing.
#include <cstdio>
#include <memory>
#include <string>

#include "package/install_plan.h"
#include "package/package_entry.h"
#include "package/verify.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/package_file.h"

namespace {

struct VerifyArguments {
    std::string file;
};

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

// "NAME: what: actual should be expected", for verify and extract.
std::string DescribeProblem(const OpenedPackage& package, const PackageProblem& problem) {
    std::string text;
    if (problem.entryIndex < package.count) {
        text = EntryName(package.entries[problem.entryIndex]) + ": ";
    }
    text += PackageFaultText(problem.fault);
    switch (problem.fault) {
        case PackageFault::kCrcMismatch:
            text += ": " + Hex(problem.actual) + " should be " + Hex(problem.expected);
            break;
        case PackageFault::kSizeMismatch:
        case PackageFault::kShortRead:
            text += " in block " + std::to_string(problem.block) + ": " +
                    std::to_string(problem.actual) + " bytes should be " +
                    std::to_string(problem.expected);
            break;
        case PackageFault::kInflate:
            text += " (block " + std::to_string(problem.block) + ")";
            break;
        case PackageFault::kPlanRefused:
            text += ": " + std::string(PlanFaultText(static_cast<PlanFault>(problem.expected)));
            break;
        default:
            break;
    }
    return text;
}

namespace {

int RunVerify(const VerifyArguments& args) {
    OpenedPackage package;
    if (const int opened = package.Open(args.file); opened != 0) {
        return opened;
    }
    PackageProblem problem{};
    if (PackageVerify(package.archive, package.entries, package.count, nullptr, nullptr,
                      &problem) != 1) {
        return ReportFailure(args.file, DescribeProblem(package, problem));
    }
    std::printf("%s: %u entries OK\n", args.file.c_str(), package.count);
    return 0;
}

}  // namespace

void AddVerifyCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<VerifyArguments>();
    CLI::App* verify = app.add_subcommand(
        "verify",
        "Check a package without writing anything: every block is inflated and its size "
        "checked, and every file's CRC-32 compared. Names the first damaged entry.");
    verify->add_option("FILE", args->file, "The package")->required();
    verify->callback([args, &status] { status = RunVerify(*args); });
}
