// Inflating one block and CRC-32. Blocks are inflated with zlib in every build, as the device
// does: libdeflate is faster but takes some streams zlib refuses (code lengths that overrun their
// table), and a host build must judge a package exactly as the device will. CRC-32 comes from
// libdeflate where it is built in (QZP_LIBDEFLATE), from zlib otherwise.
#pragma once

#include <cstdint>

namespace block_codec {

// Inflates the complete zlib stream in `input` into `output`. True with *length set when the
// stream is whole, its checksum right and its data fit `capacity` bytes; bytes after the end of
// the stream are ignored. False otherwise (*length is then 0).
bool Inflate(const uint8_t* input, uint32_t inputSize, uint8_t* output, uint32_t capacity,
             uint32_t* length);

// CRC-32 of `data` continued from `crc` (0 to start).
uint32_t Crc32(uint32_t crc, const uint8_t* data, uint32_t size);

// The CRC-32 of A followed by B, from crc(A), crc(B) and B's length.
uint32_t Crc32Combine(uint32_t first, uint32_t second, uint32_t secondLength);

}  // namespace block_codec
