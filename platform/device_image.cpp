// The settings a device image states, read by every program that opens an image and by both
// volume implementations. Apart from file_system.cpp so that a program which never opens an image
// does not link it.
#include "platform/device_image.h"

#include <charconv>
#include <cstdio>
#include <memory>
#include <system_error>

#include "platform/file.h"

namespace platform {
namespace {

// Reads \.named\<name> of the bound file system and the `count` numbers it holds; `malformed` is
// the error when it holds anything else.
ImageSetting ReadNumbers(const std::u16string& name, uint64_t* numbers, std::size_t count,
                         const char* malformed, std::string& error) {
    const std::u16string path = u"\\.named\\" + name;
    if (GetAttributes(path.c_str()) == kInvalidFileAttributes) {
        return ImageSetting::kAbsent;
    }
    std::FILE* in = OpenStream(path.c_str(), u"rb");
    if (in == nullptr) {
        error = "cannot read it: " + LastFileError();
        return ImageSetting::kRefused;
    }
    char text[64];
    const std::size_t got = std::fread(text, 1, sizeof text, in);
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        error = "cannot read it";
        return ImageSetting::kRefused;
    }
    const char* at = text;
    const char* const end = text + got;
    const auto skipBlanks = [&] {
        while (at < end && (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n')) {
            ++at;
        }
    };
    for (std::size_t k = 0; k < count; ++k) {
        skipBlanks();
        const std::from_chars_result read = std::from_chars(at, end, numbers[k]);
        if (read.ec != std::errc() || read.ptr == at ||
            (read.ptr < end && *read.ptr != ' ' && *read.ptr != '\t' && *read.ptr != '\r' &&
             *read.ptr != '\n')) {
            error = malformed;
            return ImageSetting::kRefused;
        }
        at = read.ptr;
    }
    skipBlanks();
    if (got == sizeof text || at != end) {
        error = malformed;
        return ImageSetting::kRefused;
    }
    return ImageSetting::kStated;
}

}  // namespace

ImageSetting ImageVolume(std::u16string_view folder, uint64_t& size, uint64_t& unit,
                         std::string& error) {
    uint64_t numbers[2] = {};
    const ImageSetting read =
        ReadNumbers(std::u16string(folder) + u".volume", numbers, 2,
                    "not two decimal numbers (the volume's size and allocation unit)", error);
    if (read == ImageSetting::kStated && numbers[1] == 0) {
        error = "an allocation unit of 0 bytes";
        return ImageSetting::kRefused;
    }
    size = numbers[0];
    unit = numbers[1];
    return read;
}

bool ImageCodePage(const std::string& hostDirectory, uint32_t& codePage, std::string& error) {
    const std::unique_ptr<FileSystem> image = FileSystem::DeviceImage(hostDirectory);
    const UseFiles bound(*image);
    uint64_t number = 0;
    const char* const notACodePage =
        "not a code page this build converts with (a number such as 1252)";
    switch (ReadNumbers(u"codepage", &number, 1, notACodePage, error)) {
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
