// Which file system a thread's calls act on.
#include "platform/file.h"

namespace platform {
namespace {

thread_local FileSystem* t_bound = nullptr;

}  // namespace

UseFiles::UseFiles(FileSystem& files) : previous_(t_bound) {
    t_bound = &files;
}

UseFiles::~UseFiles() {
    t_bound = previous_;
}

FileSystem* BoundFiles() {
    return t_bound;
}

}  // namespace platform
