// The code page a device image states, read by every program that opens an image. Apart from
// file_system.cpp so that a program which never opens an image does not link it.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/file.h"

namespace platform {

bool ImageCodePage(const std::string& hostDirectory, uint32_t& codePage, std::string& error) {
    const std::string name = hostDirectory + "/" + kImageCodePageFile;
    const std::filesystem::path path(std::u8string(name.begin(), name.end()));
    std::error_code code;
    if (!std::filesystem::exists(path, code) && !code) {
        codePage = kDefaultCodePage;
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    char text[33] = {};
    in.read(text, sizeof text - 1);
    if (!in.is_open() || in.bad()) {
        error = "cannot read the device's code page";
        return false;
    }
    const std::string_view value(text, static_cast<std::size_t>(in.gcount()));
    const std::size_t first = value.find_first_not_of(" \t\r\n");
    const std::size_t last = value.find_last_not_of(" \t\r\n");
    const std::string number =
        first == std::string_view::npos ? "" : std::string(value.substr(first, last - first + 1));
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(number.c_str(), &end, 10);
    if (number.empty() || number.size() > 5 || *end != 0 || number[0] < '0' || number[0] > '9' ||
        !CodePageAvailable(static_cast<uint32_t>(parsed))) {
        error = "not a code page this build converts with (a number such as 1252)";
        return false;
    }
    codePage = static_cast<uint32_t>(parsed);
    return true;
}

std::unique_ptr<FileSystem> FileSystem::OpenImage(const std::string& hostDirectory,
                                                  std::string& error) {
    uint32_t codePage = kDefaultCodePage;
    if (!ImageCodePage(hostDirectory, codePage, error)) {
        return nullptr;
    }
    return DeviceImage(hostDirectory, codePage);
}

}  // namespace platform
