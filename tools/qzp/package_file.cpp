#include "tools/qzp/package_file.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "package/package_entry.h"
#include "platform/file.h"
#include "tools/qzp/host_path.h"

int ReportFailure(const std::string& subject, const std::string& message) {
    std::fprintf(stderr, "qzp: %s: %s\n", Printable(subject).c_str(), Printable(message).c_str());
    return 1;
}

OpenedPackage::~OpenedPackage() {
    PackageClose(archive);
}

int OpenedPackage::Open(const std::string& file) {
    std::u16string device;
    std::string error;
    if (!ToDevicePath(file, device, error)) {
        ReportFailure(file, error);
        return 2;
    }
    std::error_code code;
    const std::filesystem::path path(file);
    if (!std::filesystem::exists(path, code)) {
        return ReportFailure(file, "no such file");
    }
    if (!std::filesystem::is_regular_file(path, code)) {
        return ReportFailure(file, "not a file");
    }
    if (std::FILE* stream = platform::OpenStream(device.c_str(), u"rb"); stream != nullptr) {
        std::fclose(stream);
    } else {
        return ReportFailure(file, "cannot open: " + OsReason());
    }
    if (PackageOpen(device.c_str(), &archive, &entries, &count, 0) != 1) {
        archive = nullptr;
        return ReportFailure(file, "not a package, or its catalogue is damaged");
    }
    return 0;
}

int CheckOutput(const std::string& output, const std::vector<std::string>& inputs) {
    namespace fs = std::filesystem;
    std::error_code code;
    const fs::path out(output);
    if (fs::is_directory(out, code)) {
        return ReportFailure(output, "is a directory; name the package file to write");
    }
    fs::path parent = out.parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    const fs::path folder = fs::canonical(parent, code);
    if (code) {
        return ReportFailure(output,
                             "cannot write here: " + parent.string() + ": " + code.message());
    }
    for (const std::string& input : inputs) {
        if (fs::exists(out, code) && fs::equivalent(out, input, code)) {
            return ReportFailure(
                output, "is " + input + ", one of the inputs; write the package elsewhere");
        }
        for (fs::path at = folder;; at = at.parent_path()) {
            if (fs::equivalent(at, input, code)) {
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
    if (!ToDevicePath((folder / ".qzp-write-check").string(), probe, error)) {
        return ReportFailure(output, error);
    }
    std::FILE* stream = platform::OpenStream(probe.c_str(), u"wbx");
    if (stream == nullptr &&
        platform::GetAttributes(probe.c_str()) != platform::kInvalidFileAttributes) {
        platform::RemoveFile(probe.c_str());  // left by a run that was killed
        stream = platform::OpenStream(probe.c_str(), u"wbx");
    }
    if (stream == nullptr) {
        return ReportFailure(output, "cannot write here: " + OsReason());
    }
    std::fclose(stream);
    platform::RemoveFile(probe.c_str());
    return 0;
}

std::string EntryName(const PackageEntry* entry) {
    return entry->name();
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

ProgressBar::ProgressBar(const char* label, bool enabled) : label_(label), enabled_(enabled) {}

ProgressBar::~ProgressBar() {
    Finish();
}

void ProgressBar::Show(uint64_t done, uint64_t total) {
    if (!enabled_ || total == 0) {
        return;
    }
    const int percent = static_cast<int>(done * 100 / total);
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
