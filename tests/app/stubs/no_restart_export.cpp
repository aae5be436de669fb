// A vendor library that loads but lacks the restart export.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) uint32_t KVGetVersion() {
    return 1;
}
