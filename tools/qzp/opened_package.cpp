#include "tools/qzp/opened_package.h"

#include "app/package_acceptance.h"
#include "package/package_scan.h"
#include "tools/qzp/code_page_option.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/output.h"

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

std::string DescribeProblem(const OpenedPackage& package, const PackageProblem& problem) {
    std::string text;
    if (problem.entryIndex < package.count) {
        text = ShownName(package.Record(problem.entryIndex).storedName) + ": ";
    }
    return text + PackageProblemText(problem);
}

namespace {

// The device's verdict on the open package, its bytes handed to `tap` as they are read.
bool Accepted(OpenedPackage& package, PackageContentsProc tap, void* tapContext,
              app::StepOutcome& refusal, const char* label) {
    ProgressBar bar(
        label, ProgressWanted(PackagePackedBytes(package.archive, package.entries, package.count)));
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
