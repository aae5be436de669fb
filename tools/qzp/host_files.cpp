#include "tools/qzp/host_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/file.h"
#include "platform/replace.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/output.h"

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
