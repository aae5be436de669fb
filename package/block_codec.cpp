// The block decoder: zlib's uncompress, the device's own decoder. CRC-32 comes from libdeflate
// when built in: a checksum has one right answer, so only its speed differs.
#include "package/block_codec.h"

#include <zlib.h>

#ifdef QZP_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace block_codec {

bool Inflate(const uint8_t* input, uint32_t inputSize, uint8_t* output, uint32_t capacity,
             uint32_t* length) {
    uLongf produced = capacity;
    if (uncompress(output, &produced, input, inputSize) != Z_OK) {
        *length = 0;
        return false;
    }
    *length = static_cast<uint32_t>(produced);
    return true;
}

uint32_t Crc32(uint32_t crc, const uint8_t* data, uint32_t size) {
#ifdef QZP_LIBDEFLATE
    return libdeflate_crc32(crc, data, size);
#else
    return static_cast<uint32_t>(crc32(crc, data, size));
#endif
}

uint32_t Crc32Combine(uint32_t first, uint32_t second, uint32_t secondLength) {
    return static_cast<uint32_t>(crc32_combine(first, second, static_cast<z_off_t>(secondLength)));
}

}  // namespace block_codec
