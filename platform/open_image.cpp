// Opening a device image with the code page it states. Apart from the other settings so that a
// program which never opens an image (the device's) does not link it.
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "platform/device_image.h"
#include "platform/file.h"
#include "platform/text.h"

namespace platform {

bool ImageCodePage(const std::string& hostDirectory, uint32_t& codePage, std::string& error) {
    const std::unique_ptr<FileSystem> image = FileSystem::DeviceImage(hostDirectory);
    const UseFiles bound(*image);
    uint64_t number = 0;
    const char* const notACodePage =
        "not a code page this build converts with (a number such as 1252)";
    switch (ReadImageNumbers(u"codepage", &number, 1, notACodePage, error)) {
        case ImageSetting::kAbsent:
            codePage = kDefaultCodePage;
            return true;
        case ImageSetting::kRefused:
            return false;
        case ImageSetting::kStated:
            break;
    }
    if (number > 0xFFFF || !CodePageAvailable(static_cast<uint32_t>(number))) {
        error = notACodePage;
        return false;
    }
    codePage = static_cast<uint32_t>(number);
    return true;
}

std::unique_ptr<FileSystem> FileSystem::OpenImage(const std::string& hostDirectory,
                                                  std::string& error, std::string* file) {
    uint32_t codePage = kDefaultCodePage;
    if (file != nullptr) {
        *file = kImageCodePageFile;
    }
    if (!ImageCodePage(hostDirectory, codePage, error)) {
        return nullptr;
    }
    std::unique_ptr<FileSystem> image = DeviceImage(hostDirectory, codePage);
    // A volume setting that cannot be read would leave the room unchecked: refused here, as the
    // code page is, whatever stands at its name (a link, FIFO, folder or malformed text).
    std::error_code code;
    const UseFiles bound(*image);
    const std::u8string named =
        std::u8string(hostDirectory.begin(), hostDirectory.end()) + u8"/.named";
    for (const auto& item : std::filesystem::directory_iterator(named, code)) {
        const std::u8string filename = item.path().filename().u8string();
        const std::string name(filename.begin(), filename.end());
        const std::string suffix = ".volume";
        uint64_t size = 0;
        uint64_t unit = 0;
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            ImageVolume(Utf8ToUtf16(name.substr(0, name.size() - suffix.size())), size, unit,
                        error) == ImageSetting::kRefused) {
            if (file != nullptr) {
                *file = ".named/" + name;
            }
            return nullptr;
        }
    }
    return image;
}

std::string FileSystem::ImageProblem(const std::string& hostDirectory) {
    const std::unique_ptr<FileSystem> image = DeviceImage(hostDirectory);
    const UseFiles bound(*image);
    const auto isFolder = [](const char16_t* path) {
        const uint32_t attributes = GetAttributes(path);
        return attributes != kInvalidFileAttributes && (attributes & kAttributeDirectory) != 0 &&
               (attributes & kAttributeReparsePoint) == 0;
    };
    const uint32_t top = hostDirectory.empty() ? kInvalidFileAttributes : GetAttributes(u"\\");
    if (top == kInvalidFileAttributes) {
        return "not a device image: no such directory";
    }
    if ((top & kAttributeDirectory) == 0) {
        return "not a device image: not a directory";
    }
    if (!isFolder(u"\\SDMMC") || !isFolder(u"\\ResidentFlash2")) {
        return "not a device image: it holds no SDMMC/ and ResidentFlash2/ folders";
    }
    return {};
}

}  // namespace platform
