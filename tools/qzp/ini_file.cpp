#include "tools/qzp/ini_file.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "app/device_paths.h"
#include "ini/ini_load.h"
#include "ini/ini_round_trip.h"
#include "ini/ini_write.h"
#include "package/install_plan.h"
#include "platform/file.h"
#include "platform/replace.h"
#include "platform/text.h"
#include "platform/volume.h"
#include "tools/qzp/host_path.h"

namespace {

// The levels of a path separated by `\`, without empty ones.
std::vector<std::u16string_view> Levels(std::u16string_view path) {
    std::vector<std::u16string_view> levels;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(u'\\', start), path.size());
        if (end > start) {
            levels.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return levels;
}

// Separators of host paths: `/`, and on Windows `\` too. POSIX names never hold a `\` here (the
// tools refuse such paths), so both are taken everywhere.
constexpr const char* kHostSeparators = "/\\";

// True when the last levels of `host` (split at its separators) spell the levels of `device`.
bool EndsWithDevicePath(const std::string& host, std::u16string_view device) {
    std::vector<std::string_view> hostLevels;
    std::size_t start = 0;
    while (start <= host.size()) {
        const std::size_t end = std::min(host.find_first_of(kHostSeparators, start), host.size());
        if (end > start) {
            hostLevels.push_back(std::string_view(host).substr(start, end - start));
        }
        start = end + 1;
    }
    const auto deviceLevels = Levels(device);
    if (hostLevels.size() < deviceLevels.size()) {
        return false;
    }
    const std::size_t offset = hostLevels.size() - deviceLevels.size();
    for (std::size_t i = 0; i < deviceLevels.size(); ++i) {
        if (!platform::EqualsIgnoringAsciiCase<char, char16_t>(hostLevels[offset + i],
                                                               deviceLevels[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> IniEntryProblem(const std::u16string& section, const std::u16string& key,
                                           const std::u16string& value) {
    const std::pair<const char*, const std::u16string*> parts[] = {
        {"section name", &section}, {"key", &key}, {"value", &value}};
    for (const auto& [what, text] : parts) {
        for (char16_t c : *text) {
            if ((c < 0x20 && c != u'\t') || c == 0x7F) {
                return std::string(what) + " holds a control character";
            }
        }
    }
    switch (IniEntryLoss(section.c_str(), key.c_str(), value.c_str())) {
        case kIniNothingLost:
            return std::nullopt;
        case kIniSectionLost:
            return "section name would not read back";
        case kIniKeyLost:
            return "key would not read back";
        default:
            return "value would not read back";
    }
}

std::u16string DeviceComment(const std::string& hostPath) {
    // Longest first: the installed record also ends with the manifest's two levels.
    const std::array<std::u16string, 3> known = {std::u16string(app::kInstalledRecordPath),
                                                 std::u16string(app::kCardSettingsPath),
                                                 u"\\" + std::u16string(kPackageManifestName)};
    for (const std::u16string& device : known) {
        if (EndsWithDevicePath(hostPath, device)) {
            return device;
        }
    }
    const std::size_t slash = hostPath.find_last_of(kHostSeparators);
    return platform::Utf8ToUtf16(slash == std::string::npos ? hostPath
                                                            : hostPath.substr(slash + 1));
}

bool SaveIniFile(const std::string& hostPath, const std::u16string& path, IniTable* table,
                 std::string& error) {
    const std::u16string comment = DeviceComment(hostPath);
    const std::vector<unsigned char> bytes = IniTableBytes(table, comment.c_str());
    // The new file keeps the old one's permissions, and a file its user may not write (by its
    // mode, which root's access() would not tell) is not replaced.
#ifndef _WIN32
    struct stat old;
    const bool existed = stat(hostPath.c_str(), &old) == 0;
    const mode_t writable = geteuid() == 0 || geteuid() == old.st_uid ? S_IWUSR
                            : getegid() == old.st_gid                 ? S_IWGRP
                                                                      : S_IWOTH;
    if (existed && (old.st_mode & writable) == 0) {
        error = "the file is read-only";
        return false;
    }
#else
    // The read-only attribute reads as no write permission.
    std::error_code code;
    const std::filesystem::file_status status = std::filesystem::status(FsPath(hostPath), code);
    if (!code && std::filesystem::is_regular_file(status) &&
        (status.permissions() & std::filesystem::perms::owner_write) ==
            std::filesystem::perms::none) {
        error = "the file is read-only";
        return false;
    }
#endif
    switch (platform::ReplaceFile(
        path.c_str(), platform::ScratchRule::OfThisRun(), [&](std::FILE* stream) {
#ifndef _WIN32
            if (existed && fchmod(fileno(stream), old.st_mode & 07777) != 0) {
                return false;
            }
#endif
            return platform::WriteStream(stream, bytes.data(), bytes.size()) == bytes.size();
        })) {
        case platform::ReplaceResult::kReplaced:
            return true;
        case platform::ReplaceResult::kNoScratchPath:
        case platform::ReplaceResult::kCreate:
            error = "cannot create a temporary file beside it: " + OsReason();
            return false;
        case platform::ReplaceResult::kRename:
            error = "cannot replace the file: " + OsReason();
            return false;
        case platform::ReplaceResult::kWrite:
        case platform::ReplaceResult::kCommit:
            break;
    }
    error = "cannot write: " + OsReason();
    return false;
}

std::string IniOpenFailure(const std::u16string& path) {
    uint64_t size = 0;
    const uint32_t attributes = platform::GetAttributes(path.c_str());
    if (attributes == platform::kInvalidFileAttributes) {
        return "no such file";
    }
    if ((attributes & platform::kAttributeDirectory) != 0) {
        return "is a directory";
    }
    if (path.size() > 259) {
        return "path longer than 259 units";
    }
    if (platform::GetFileSize(path.c_str(), size) && size > kIniMaxWantedFileBytes) {
        return "larger than " + std::to_string(kIniMaxWantedFileBytes) +
               " bytes (1 MiB), the most a device reads of a settings file";
    }
    if (const std::string problem = OpenProblem(path); !problem.empty()) {
        return problem;
    }
    return "not a UTF-16 INI file (it must begin with the bytes FF FE)";
}
