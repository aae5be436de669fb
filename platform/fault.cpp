#include "platform/fault.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace platform::fault {
namespace {

std::atomic<uint64_t> g_writes{0};
std::atomic<uint64_t> g_cutAt{0};
std::atomic<uint64_t> g_failAt{0};
std::once_flag g_fromEnvironment;

uint64_t EnvNumber(const char* name) {
    const char* text = std::getenv(name);
    return text == nullptr ? 0 : std::strtoull(text, nullptr, 10);
}

}  // namespace

bool BeforeWrite() {
    std::call_once(g_fromEnvironment, [] {
        if (const uint64_t cut = EnvNumber("QZP_FAULT_CUT_AT_WRITE"))
            g_cutAt = cut;
        if (const uint64_t fail = EnvNumber("QZP_FAULT_FAIL_AT_WRITE"))
            g_failAt = fail;
    });
    const uint64_t n = ++g_writes;
    if (n == g_cutAt) {
        // _Exit: no exit handlers, no stream flush.
        std::_Exit(kPowerCutExitStatus);
    }
    return n != g_failAt;
}

uint64_t WriteCount() {
    return g_writes;
}

void Arm(uint64_t cutAtWrite, uint64_t failAtWrite) {
    std::call_once(g_fromEnvironment, [] {});
    g_cutAt = cutAtWrite;
    g_failAt = failAtWrite;
    g_writes = 0;
}

}  // namespace platform::fault
