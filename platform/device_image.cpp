// The settings a device image states, read by both volume implementations and by every program
// that opens an image.
#include "platform/device_image.h"

#include <charconv>
#include <cstdio>
#include <system_error>

#include "platform/file.h"

namespace platform {

ImageSetting ReadImageNumbers(const std::u16string& name, uint64_t* numbers, std::size_t count,
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

ImageSetting ImageVolume(std::u16string_view folder, uint64_t& size, uint64_t& unit,
                         std::string& error) {
    uint64_t numbers[2] = {};
    const ImageSetting read =
        ReadImageNumbers(std::u16string(folder) + u".volume", numbers, 2,
                         "not two decimal numbers (the volume's size and allocation unit)", error);
    if (read == ImageSetting::kStated && numbers[1] == 0) {
        error = "an allocation unit of 0 bytes";
        return ImageSetting::kRefused;
    }
    size = numbers[0];
    unit = numbers[1];
    return read;
}

ImageSetting StatedVolume(const char16_t* directory, VolumeSpace& space) {
    const FileSystem* files = BoundFiles();
    if (files == nullptr || files->ExactHostPaths() || files->Root() == "\\" ||
        directory == nullptr || directory[0] != u'\\') {
        return ImageSetting::kAbsent;
    }
    const std::u16string_view path(directory);
    const std::size_t cut = path.find_first_of(u"\\/", 1);
    const std::u16string folder(path.substr(1, cut == path.npos ? path.npos : cut - 1));
    if (folder.empty() || folder[0] == u'.') {
        return ImageSetting::kAbsent;
    }
    uint64_t size = 0;
    uint64_t unit = 0;
    std::string error;
    const ImageSetting stated = ImageVolume(folder, size, unit, error);
    uint64_t used = 0;
    if (stated != ImageSetting::kStated) {
        return stated;
    }
    if (!MeasureTree((u"\\" + folder).c_str(), unit, used)) {
        return ImageSetting::kRefused;
    }
    space.unitBytes = unit;
    space.freeBytes = size > used ? size - used : 0;
    return ImageSetting::kStated;
}

}  // namespace platform
