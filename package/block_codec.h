// Inflating one block and CRC-32, with the decoder chosen when the library is built: libdeflate
// (QZP_LIBDEFLATE) or zlib. zlib is always linked and stays the reference: both give the same
// bytes, the same lengths and the same verdict on every block.
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

// The decoder this build inflates with: "libdeflate" or "zlib".
const char* DecoderName();

// The two decoders on their own, for comparing them. InflateLibdeflate is the zlib one in a build
// without libdeflate.
bool InflateZlib(const uint8_t* input, uint32_t inputSize, uint8_t* output, uint32_t capacity,
                 uint32_t* length);
bool InflateLibdeflate(const uint8_t* input, uint32_t inputSize, uint8_t* output, uint32_t capacity,
                       uint32_t* length);

}  // namespace block_codec
