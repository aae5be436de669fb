// Opening a device image with the code page it states. Apart from the other settings so that a
// program which never opens an image (the device's) does not link it.
#include <memory>

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

}  // namespace platform
