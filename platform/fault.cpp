#include "platform/fault.h"

#include <atomic>
#include <cstdlib>
#include <memory>

#include "platform/file.h"

namespace platform {

struct FileSystem::Faults {
    std::atomic<uint64_t> writes{0};
    std::atomic<uint64_t> cutAt{0};
    std::atomic<uint64_t> failAt{0};
    std::atomic<bool> purgeAborted{false};
};

std::shared_ptr<FileSystem::Faults> FileSystem::FaultsToShare() {
    FileSystem* bound = BoundFiles();
    return bound != nullptr ? bound->faults_ : std::make_shared<Faults>();
}

void FileSystem::PlanFaults(const FaultPlan& plan) {
    faults_->cutAt = plan.cutAtWrite;
    faults_->failAt = plan.failAtWrite;
    faults_->purgeAborted = plan.purgeAborted;
    faults_->writes = 0;
}

namespace fault {

bool BeforeWrite() {
    FileSystem* files = BoundFiles();
    if (files == nullptr) {
        return true;
    }
    FileSystem::Faults& faults = files->faults();
    const uint64_t n = ++faults.writes;
    if (n == faults.cutAt) {
        // _Exit: no exit handlers, no stream flush.
        std::_Exit(kPowerCutExitStatus);
    }
    return n != faults.failAt;
}

uint64_t WriteCount() {
    FileSystem* files = BoundFiles();
    return files != nullptr ? files->faults().writes.load() : 0;
}

void Arm(uint64_t cutAtWrite, uint64_t failAtWrite) {
    if (FileSystem* files = BoundFiles()) {
        files->PlanFaults({cutAtWrite, failAtWrite, files->faults().purgeAborted});
    }
}

bool PurgeAborted() {
    FileSystem* files = BoundFiles();
    return files != nullptr && files->faults().purgeAborted;
}

}  // namespace fault
}  // namespace platform
