// The block decoders: zlib's uncompress, and libdeflate's whole-buffer decompressor when built in.
#include "package/block_codec.h"

#include <zlib.h>

#include <memory>

#ifdef QZP_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace block_codec {

bool InflateZlib(const uint8_t* input, uint32_t inputSize, uint8_t* output, uint32_t capacity,
                 uint32_t* length) {
    uLongf produced = capacity;
    if (uncompress(output, &produced, input, inputSize) != Z_OK) {
        *length = 0;
        return false;
    }
    *length = static_cast<uint32_t>(produced);
    return true;
}

#ifdef QZP_LIBDEFLATE

namespace {

struct FreeDecompressor {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// One decompressor per thread, made on first use and kept for the thread's life.
libdeflate_decompressor* ThreadDecompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

}  // namespace

bool InflateLibdeflate(const uint8_t* input, uint32_t inputSize, uint8_t* output, uint32_t capacity,
                       uint32_t* length) {
    libdeflate_decompressor* decompressor = ThreadDecompressor();
    size_t produced = 0;
    if (decompressor != nullptr &&
        libdeflate_zlib_decompress(decompressor, input, inputSize, output, capacity, &produced) ==
            LIBDEFLATE_SUCCESS) {
        *length = static_cast<uint32_t>(produced);
        return true;
    }
    // Refusals are rare and zlib is the reference: it decides them, so that no stream zlib takes
    // is refused here (nor when the decompressor could not be made).
    return InflateZlib(input, inputSize, output, capacity, length);
}

bool Inflate(const uint8_t* input, uint32_t inputSize, uint8_t* output, uint32_t capacity,
             uint32_t* length) {
    return InflateLibdeflate(input, inputSize, output, capacity, length);
}

uint32_t Crc32(uint32_t crc, const uint8_t* data, uint32_t size) {
    return libdeflate_crc32(crc, data, size);
}

const char* DecoderName() {
    return "libdeflate";
}

#else

bool InflateLibdeflate(const uint8_t* input, uint32_t inputSize, uint8_t* output, uint32_t capacity,
                       uint32_t* length) {
    return InflateZlib(input, inputSize, output, capacity, length);
}

bool Inflate(const uint8_t* input, uint32_t inputSize, uint8_t* output, uint32_t capacity,
             uint32_t* length) {
    return InflateZlib(input, inputSize, output, capacity, length);
}

uint32_t Crc32(uint32_t crc, const uint8_t* data, uint32_t size) {
    return static_cast<uint32_t>(crc32(crc, data, size));
}

const char* DecoderName() {
    return "zlib";
}

#endif

uint32_t Crc32Combine(uint32_t first, uint32_t second, uint32_t secondLength) {
    return static_cast<uint32_t>(crc32_combine(first, second, static_cast<z_off_t>(secondLength)));
}

}  // namespace block_codec
