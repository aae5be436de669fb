// The block decoder: zlib's inflate, the device's own decoder. CRC-32 comes from libdeflate
// when built in: a checksum has one right answer, so only its speed differs.
#include "package/block_codec.h"

#include <zlib.h>

#include <cstdlib>
#include <new>

#ifdef QZP_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace block_codec {

namespace {

// zlib's memory comes from here: while the decoder is being made, from the heap; once it is
// sealed, none (zlib then reports Z_MEM_ERROR rather than allocate while a block is inflated).
voidpf Allocate(voidpf sealed, uInt items, uInt size) {
    return *static_cast<const bool*>(sealed) ? Z_NULL : std::calloc(items, size);
}

void Free(voidpf /*sealed*/, voidpf block) {
    std::free(block);
}

// A whole stream of one zero byte: header and data in the first kPrimerData bytes, then the
// checksum. zlib allocates its window when a call leaves a stream unfinished after output, and
// keeps it across inflateReset (its size fixed by inflateInit's 15 window bits); a stream
// finished in one call never gets one. So the primer goes in two calls.
constexpr uint8_t kPrimer[] = {0x78, 0x9c, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01};
constexpr uInt kPrimerData = 5;

}  // namespace

Inflater::Inflater() : stream_(new (std::nothrow) z_stream{}) {
    if (stream_ == nullptr) {
        return;
    }
    stream_->zalloc = &Allocate;
    stream_->zfree = &Free;
    stream_->opaque = &sealed_;
    if (inflateInit(stream_.get()) != Z_OK) {
        stream_.reset();
        return;
    }
    uint8_t byte = 0xff;
    stream_->next_in = const_cast<Bytef*>(kPrimer);
    stream_->avail_in = kPrimerData;
    stream_->next_out = &byte;
    stream_->avail_out = 1;
    if (inflate(stream_.get(), Z_NO_FLUSH) != Z_OK) {
        return;  // no memory for the window
    }
    stream_->avail_in = sizeof(kPrimer) - kPrimerData;
    ready_ = inflate(stream_.get(), Z_NO_FLUSH) == Z_STREAM_END && byte == 0;
    sealed_ = true;
}

Inflater::~Inflater() {
    if (stream_ != nullptr) {
        inflateEnd(stream_.get());
    }
}

InflateResult Inflater::Inflate(const uint8_t* input, uint32_t inputSize, uint8_t* output,
                                uint32_t capacity, uint32_t* length) {
    *length = 0;
    if (!ready_) {
        return InflateResult::kOutOfMemory;
    }
    uint8_t spare = 0;  // zlib needs somewhere to write even when no room is given
    if (inflateReset(stream_.get()) != Z_OK) {
        return InflateResult::kRefused;
    }
    stream_->next_in = const_cast<Bytef*>(input);
    stream_->avail_in = inputSize;
    stream_->next_out = capacity == 0 ? &spare : output;
    stream_->avail_out = capacity == 0 ? 1 : capacity;
    // One call for the whole block: anything but the stream's end (input or room ran out, a
    // damaged stream, a preset dictionary) is a refusal. Bytes after the end stay unread.
    const int result = inflate(stream_.get(), Z_FINISH);
    if (result == Z_MEM_ERROR) {
        return InflateResult::kOutOfMemory;
    }
    if (result != Z_STREAM_END || stream_->total_out > capacity) {
        return InflateResult::kRefused;
    }
    *length = static_cast<uint32_t>(stream_->total_out);
    return InflateResult::kOk;
}

uint32_t Crc32(uint32_t crc, const uint8_t* data, uint32_t size) {
#ifdef QZP_LIBDEFLATE
    return libdeflate_crc32(crc, data, size);
#else
    return static_cast<uint32_t>(crc32(crc, data, size));
#endif
}

uint32_t Crc32Combine(uint32_t first, uint32_t second, uint32_t secondLength) {
    // crc(A) shifted by B's length is a product in GF(2): zero stays zero, and an entry's first
    // block (continuing from 0) needs no work at all.
    if (first == 0) {
        return second;
    }
    return static_cast<uint32_t>(crc32_combine(first, second, static_cast<z_off_t>(secondLength)));
}

}  // namespace block_codec
