// The package library's text-conversion hooks and default directory creation.
#include "package/package.h"
#include "platform/file.h"

int32_t NarrowToWide(const char* source, char16_t* destination, int32_t capacity) {
    return platform::MultiByteToWide(source, -1, destination, capacity);
}

int32_t WideToNarrow(const char16_t* source, char* destination, int32_t capacity) {
    return platform::WideToMultiByte(source, -1, destination, capacity);
}

int32_t MakeDirectory(const char16_t* path) {
    return platform::CreateDir(path) ? 1 : 0;
}
