#include "tools/qzp/host_path.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file.h"

bool HasControlCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

bool ToDevicePath(const std::string& hostPath, std::u16string& devicePath, std::string& error) {
    if (HasControlCharacter(hostPath)) {
        error = "the path holds a control character";
        return false;
    }
    // Once per run: setting the root again would forget the directories already read.
    static const bool configured = [] {
        platform::SetDeviceRoot("/");
        platform::SetExactHostPaths(true);
        return true;
    }();
    (void)configured;
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

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out;
}
