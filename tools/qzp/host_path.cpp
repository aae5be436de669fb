#include "tools/qzp/host_path.h"

#include <cerrno>
#include <cstring>

#include "platform/file.h"
#include "platform/text.h"

bool ToDevicePath(const std::string& hostPath, std::u16string& devicePath, std::string& error) {
    if (platform::HasControlCharacter(hostPath)) {
        error = "the path holds a control character";
        return false;
    }
    if (!platform::HostPathToDevice(hostPath, devicePath)) {
        error = "cannot use this path (a name with a backslash?)";
        return false;
    }
    return true;
}

std::string OsReason() {
    std::string reason = platform::LastFileError();
    if (reason.empty() && errno != 0) {
        reason = std::strerror(errno);
    }
    return reason.empty() ? "unknown reason" : reason;
}

std::filesystem::path FsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string FsText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}
