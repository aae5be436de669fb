#include "tools/qzp/host_path.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file.h"
#include "platform/text.h"

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

namespace {

void AppendHex(std::string& out, unsigned char byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    out += escaped;
}

std::string Escape(const std::string& text, bool controls) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t codePoint = 0;
        const std::size_t length = platform::Utf8Sequence(text, i, codePoint);
        if (length == 0) {
            AppendHex(out, static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        const bool control = codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F);
        if (controls && control) {
            if (codePoint == U'\n') {
                out += "\\n";
            } else if (codePoint == U'\r') {
                out += "\\r";
            } else if (codePoint == U'\t') {
                out += "\\t";
            } else {
                for (std::size_t k = 0; k < length; ++k) {
                    AppendHex(out, static_cast<unsigned char>(text[i + k]));
                }
            }
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

}  // namespace

std::string Printable(const std::string& text) {
    return Escape(text, true);
}

std::string ValidUtf8(const std::string& text) {
    return Escape(text, false);
}
