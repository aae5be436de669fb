// Opening a device image with the code page it states. Apart from the other settings so that a
// program which never opens an image (the device's) does not link it.
#include <memory>
#include <string>

#include "platform/device_image.h"
#include "platform/file.h"

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
                                                  std::string& error) {
    uint32_t codePage = kDefaultCodePage;
    if (!ImageCodePage(hostDirectory, codePage, error)) {
        return nullptr;
    }
    return DeviceImage(hostDirectory, codePage);
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
