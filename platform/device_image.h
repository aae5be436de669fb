// The settings a device image states about the device in its `.named` folder, read the same way by
// both implementations: each is a short text of decimal numbers separated and surrounded by
// blanks, and nothing else. The files are opened through the file services, as every other file
// of the image is: no link is followed, and a FIFO, socket or device is refused at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/volume.h"

namespace platform {

enum class ImageSetting {
    kStated,
    kAbsent,   // no such file: the default holds
    kRefused,  // unreadable, not a regular file, or not the numbers asked for; see `error`
};

// Reads \.named\<name> of the bound file system and the `count` numbers it holds; `malformed` is
// the error when it holds anything else.
ImageSetting ReadImageNumbers(const std::u16string& name, uint64_t* numbers, std::size_t count,
                              const char* malformed, std::string& error);

// The size and allocation unit (not 0) in bytes that the bound device image states for the volume
// of its top folder `folder` in \.named\<folder>.volume.
ImageSetting ImageVolume(std::u16string_view folder, uint64_t& size, uint64_t& unit,
                         std::string& error);

// A device image may state the size of one of its volumes, a folder at its top such as
// ResidentFlash2. The volume's free space is then that size less what its tree takes (MeasureTree),
// whatever the host's disk holds, so a small flash volume can be stood for without mounting one.
// kAbsent when no device image is bound or it states nothing for the top folder of the device
// path `directory`; kRefused when the statement or the tree cannot be read.
ImageSetting StatedVolume(const char16_t* directory, VolumeSpace& space);

}  // namespace platform
