#include "package/conversion.h"

#include "platform/file.h"

int32_t NarrowToWide(const char* source, char16_t* destination, int32_t capacity) {
    return platform::MultiByteToWide(source, -1, destination, capacity);
}
