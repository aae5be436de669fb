// Inflating one block and CRC-32. Blocks are inflated with zlib in every build, as the device
// does: libdeflate is faster but takes some streams zlib refuses (code lengths that overrun their
// table), and a host build must judge a package exactly as the device will. CRC-32 comes from
// libdeflate where it is built in (QZP_LIBDEFLATE), from zlib otherwise.
#pragma once

#include <cstdint>
#include <memory>

struct z_stream_s;

namespace block_codec {

enum class InflateResult : uint8_t {
    kOk,
    kRefused,      // not a whole stream, a wrong checksum, or more data than fits
    kOutOfMemory,  // zlib could not get memory
};

// A zlib decoder kept for many blocks: its state and 32 KiB window are allocated once, when it is
// made, so that inflating a block allocates nothing. One per thread that decodes.
class Inflater {
  public:
    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // False when memory for the decoder ran out: it then refuses every block as out of memory.
    bool Ready() const { return ready_; }

    // Inflates the complete zlib stream in `input` into `output`. kOk with *length set when the
    // stream is whole, its checksum right and its data fit `capacity` bytes; bytes after the end
    // of the stream are ignored. Otherwise *length is 0.
    InflateResult Inflate(const uint8_t* input, uint32_t inputSize, uint8_t* output,
                          uint32_t capacity, uint32_t* length);

  private:
    std::unique_ptr<z_stream_s> stream_;
    bool ready_ = false;
    bool sealed_ = false;  // set once the window is in place: zlib gets no more memory
};

// CRC-32 of `data` continued from `crc` (0 to start).
uint32_t Crc32(uint32_t crc, const uint8_t* data, uint32_t size);

// The CRC-32 of A followed by B, from crc(A), crc(B) and B's length.
uint32_t Crc32Combine(uint32_t first, uint32_t second, uint32_t secondLength);

}  // namespace block_codec
