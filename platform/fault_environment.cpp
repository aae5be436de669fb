// The environment's fault plan, apart from fault.cpp so that a program which never asks for it
// (the device's) holds none of these names.
#include <cstdlib>
#include <string>

#include "platform/fault.h"

namespace platform {
namespace {

uint64_t EnvNumber(const char* name) {
    const char* text = std::getenv(name);
    return text == nullptr ? 0 : std::strtoull(text, nullptr, 10);
}

}  // namespace

FaultPlan FaultPlanFromEnvironment() {
    const char* aborted = std::getenv("QZP_FAULT_PURGE_ABORTED");
    return {EnvNumber("QZP_FAULT_CUT_AT_WRITE"), EnvNumber("QZP_FAULT_FAIL_AT_WRITE"),
            aborted != nullptr && std::string(aborted) == "1"};
}

}  // namespace platform
