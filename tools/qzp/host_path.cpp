#include "tools/qzp/host_path.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

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
        reason = platform::ErrorText(std::error_code(errno, std::generic_category()));
    }
    return reason.empty() ? "unknown reason" : reason;
}

std::string ReadProblem(const std::string& path, bool folder) {
    std::error_code code;
    const std::filesystem::file_status status = std::filesystem::status(FsPath(path), code);
    if (status.type() == std::filesystem::file_type::not_found) {
        return "no such file";
    }
    if (code) {
        return "cannot open: " + platform::ErrorText(code);  // a folder on the way is closed
    }
    if (folder) {
        return std::filesystem::is_directory(status) ? std::string() : "not a directory";
    }
    if (status.type() == std::filesystem::file_type::directory) {
        return "is a directory";
    }
    if (status.type() != std::filesystem::file_type::regular) {
        return "not a file";  // a pipe or a device, which an open could wait on
    }
    std::u16string device;
    std::string error;
    if (!ToDevicePath(path, device, error)) {
        return error;
    }
    return OpenProblem(device);
}

std::string OpenProblem(const std::u16string& device) {
    platform::ResetFileError();
    std::FILE* stream = platform::OpenStream(device.c_str(), u"rb");
    if (stream == nullptr) {
        return "cannot open: " + OsReason();
    }
    std::fclose(stream);
    return std::string();
}

std::string CreateFolders(const std::string& path) {
    std::error_code code;
    const std::filesystem::path folder = FsPath(path);
    if (!std::filesystem::create_directories(folder, code) && !code &&
        !std::filesystem::is_directory(folder, code)) {
        code = std::make_error_code(std::errc::not_a_directory);
    }
    return code ? platform::ErrorText(code) : std::string();
}

std::filesystem::path FsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string FsText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}
