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

namespace {

// Length of the valid UTF-8 sequence at text[i] (1 to 4), or 0 when the byte there does not
// begin one; `codePoint` receives its value.
std::size_t Utf8Sequence(const std::string& text, std::size_t i, char32_t& codePoint) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

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
        const std::size_t length = Utf8Sequence(text, i, codePoint);
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
