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
#include "tools/qzp/host_path.h"

int ReportFailure(const std::string& subject, const std::string& message) {
    std::fprintf(stderr, "qzp: %s: %s\n", subject.c_str(), message.c_str());
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
    if (PackageOpen(device.c_str(), &archive, &entries, &count, 0) != 1) {
        archive = nullptr;
        return ReportFailure(file, "not a package, or its catalogue is damaged");
    }
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
