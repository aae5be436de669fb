#include "platform/fault.h"

#include <atomic>
#include <memory>

#include "platform/file.h"
#include "platform/file_faults.h"

namespace platform {

std::shared_ptr<FileSystem::Faults> FileSystem::FaultsToShare() {
    FileSystem* bound = BoundFiles();
    return bound != nullptr ? bound->faults_ : std::make_shared<Faults>();
}

namespace fault {

std::atomic<bool (*)()> writeCheck{nullptr};

uint64_t WriteCount() {
    FileSystem* files = BoundFiles();
    return files != nullptr ? files->faults().writes.load() : 0;
}

bool PurgeAborted() {
    FileSystem* files = BoundFiles();
    return files != nullptr && files->faults().purgeAborted;
}

}  // namespace fault
}  // namespace platform
