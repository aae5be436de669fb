// Differential fuzzing of the block decoder: every input is inflated by the build's decoder
// (libdeflate where built in) and by zlib, the reference, into an output buffer whose size the
// first two bytes choose. Any difference in verdict, length or bytes is a finding, as is a CRC-32
// that differs from zlib's.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "package/block_codec.h"
#include "package/layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // Mostly the work buffer's size, sometimes a small one that streams overrun.
    const uint32_t chosen = ReadLe16(data);
    const uint32_t capacity = chosen >= 0x8000 ? kPackageWorkBufferSize : chosen % 2048;
    const uint8_t* stream = data + 2;
    const uint32_t length = static_cast<uint32_t>(size - 2);
    std::vector<uint8_t> mine(kPackageWorkBufferSize);
    std::vector<uint8_t> reference(kPackageWorkBufferSize);
    uint32_t mineLength = 0;
    uint32_t referenceLength = 0;
    const bool ok = block_codec::Inflate(stream, length, mine.data(), capacity, &mineLength);
    const bool referenceOk =
        block_codec::InflateZlib(stream, length, reference.data(), capacity, &referenceLength);
    if (ok != referenceOk) {
        std::abort();
    }
    if (ok && (mineLength != referenceLength ||
               std::memcmp(mine.data(), reference.data(), mineLength) != 0)) {
        std::abort();
    }
    if (block_codec::Crc32(0, stream, length) !=
        static_cast<uint32_t>(crc32(0L, stream, static_cast<uInt>(length)))) {
        std::abort();
    }
    return 0;
}
