// The faults a test run plans: kept apart from the rest of fault.cpp so that a program that
// plans none (the device program) links neither the write count nor the power cut.
#include <cstdlib>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/file_faults.h"

namespace platform {

void FileSystem::PlanFaults(const FaultPlan& plan) {
    faults_->cutAt = plan.cutAtWrite;
    faults_->failAt = plan.failAtWrite;
    faults_->purgeAborted = plan.purgeAborted;
    faults_->writes = 0;
    fault::writeCheck.store(&fault::BeforeWrite, std::memory_order_release);
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

void Arm(uint64_t cutAtWrite, uint64_t failAtWrite) {
    if (FileSystem* files = BoundFiles()) {
        files->PlanFaults({cutAtWrite, failAtWrite, files->faults().purgeAborted});
    }
}

}  // namespace fault
}  // namespace platform
