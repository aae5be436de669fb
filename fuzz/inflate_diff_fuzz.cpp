// Differential fuzzing of the block decoders on streams that are valid or nearly so. The input
// chooses the compression (level, strategy, window, memory level), the data, the output buffer
// and up to three damages (a changed byte, a cut, an inserted byte) at chosen places; zlib makes
// the stream and the damages are applied to it. The package's decoder is zlib, as on the device;
// libdeflate on its own must give zlib's bytes for what both accept, and the very data for a
// stream only it accepts (so the streams that split them stay known); an undamaged stream that
// fits must come back whole; the package's CRC-32 (libdeflate's where built in) must match zlib's.
// At exit the share of inputs both decoders accepted is printed, with the streams only one
// accepted.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "package/block_codec.h"
#include "package/layout.h"

#ifdef QZP_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

constexpr size_t kHeader = 6;  // level, strategy, window, memory level, output, damage count
constexpr size_t kDamage = 3;  // kind and place (16 bits, little-endian) of one damage

struct Counts {
    unsigned long long inputs = 0, accepted = 0, damaged = 0, damagedAccepted = 0, onlyZlib = 0,
                       onlyLibdeflate = 0;
    ~Counts() {
        if (inputs > 0) {
            std::fprintf(stderr,
                         "inflate_diff: %llu streams, both decoders accepted %llu (%.1f%%); "
                         "%llu damaged, %llu of them accepted; %llu accepted by zlib alone, "
                         "%llu by libdeflate alone\n",
                         inputs, accepted, 100.0 * accepted / inputs, damaged, damagedAccepted,
                         onlyZlib, onlyLibdeflate);
        }
    }
};
Counts counts;

// The package's decoder, made once as each decoding thread makes its own.
bool InflateZlib(const uint8_t* stream, uint32_t size, uint8_t* output, uint32_t capacity,
                 uint32_t* length) {
    static block_codec::Inflater inflater;
    const block_codec::InflateResult result =
        inflater.Inflate(stream, size, output, capacity, length);
    if (result == block_codec::InflateResult::kOutOfMemory) {
        std::abort();  // the decoder's memory is all allocated when it is made
    }
    return result == block_codec::InflateResult::kOk;
}

// libdeflate's verdict of its own; zlib's where the build has no libdeflate.
bool InflateLibdeflateAlone(const std::vector<uint8_t>& stream, uint8_t* output, uint32_t capacity,
                            uint32_t* length) {
#ifdef QZP_LIBDEFLATE
    static libdeflate_decompressor* const decompressor = libdeflate_alloc_decompressor();
    size_t produced = 0;
    if (decompressor == nullptr) {
        std::abort();
    }
    const bool ok = libdeflate_zlib_decompress(decompressor, stream.data(), stream.size(), output,
                                               capacity, &produced) == LIBDEFLATE_SUCCESS;
    *length = ok ? static_cast<uint32_t>(produced) : 0;
    return ok;
#else
    return InflateZlib(stream.data(), static_cast<uint32_t>(stream.size()), output, capacity,
                       length);
#endif
}

// One complete zlib stream of `data` made with the chosen parameters.
std::vector<uint8_t> Compress(const uint8_t* data, size_t size, int level, int strategy, int window,
                              int memory) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, window, memory, strategy) != Z_OK) {
        std::abort();
    }
    // Room for any stream in one call: deflateBound falls short for stored blocks with a small
    // window, and no strategy doubles the data.
    std::vector<uint8_t> out(2 * size + 1024);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) {
        std::abort();
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void Damage(std::vector<uint8_t>& stream, const uint8_t* at) {
    if (stream.empty()) {
        return;
    }
    const size_t place = ReadLe16(at + 1) % stream.size();
    switch (at[0] % 4) {
        case 0: {  // the first bytes hold the stream's and the first block's headers
            const size_t early = place % 8 < stream.size() ? place % 8 : place;
            stream[early] ^= static_cast<uint8_t>(at[2] | 1);
            break;
        }
        case 1:
            stream[place] ^= static_cast<uint8_t>(1u << (at[2] & 7));
            break;
        case 2:
            stream.resize(place);
            break;
        default:
            stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(place), at[2]);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeader) {
        return 0;
    }
    const int level = data[0] % 10;
    const int strategy = data[1] % 5;  // default, filtered, Huffman only, RLE, fixed
    const int window = 9 + data[2] % 7;
    const int memory = 1 + data[3] % 9;
    const size_t damages = data[5] % 4 < 3 ? data[5] % 4 : 0;  // none half the time
    if (size < kHeader + damages * kDamage) {
        return 0;
    }
    const uint8_t* payload = data + kHeader + damages * kDamage;
    const size_t payloadSize = size - kHeader - damages * kDamage;
    if (payloadSize > kPackageWorkBufferSize) {
        return 0;
    }
    // Mostly room to spare, sometimes exactly the data's size or a few bytes short of it; never
    // none (zlib's uncompress takes an empty buffer for one of a byte, which no caller passes).
    const uint32_t fit = static_cast<uint32_t>(payloadSize);
    uint32_t capacity = kPackageWorkBufferSize;
    if (data[4] >= 0xC0) {
        capacity = fit > data[4] % 4 ? fit - data[4] % 4 : 1;
    }

    std::vector<uint8_t> stream = Compress(payload, payloadSize, level, strategy, window, memory);
    for (size_t d = 0; d < damages; ++d) {
        Damage(stream, data + kHeader + d * kDamage);
    }
    const uint32_t length = static_cast<uint32_t>(stream.size());
    std::vector<uint8_t> viaZlib(kPackageWorkBufferSize);
    std::vector<uint8_t> viaLibdeflate(kPackageWorkBufferSize);
    uint32_t zlibLength = 0;
    uint32_t libdeflateLength = 0;
    const bool zlibOk = InflateZlib(stream.data(), length, viaZlib.data(), capacity, &zlibLength);
    const bool libdeflateOk =
        InflateLibdeflateAlone(stream, viaLibdeflate.data(), capacity, &libdeflateLength);
    // libdeflate takes some streams zlib refuses, for a defect that changes nothing it decodes
    // (a run of code lengths that overruns the table, which zlib calls "invalid bit length
    // repeat"; libdeflate leaves such defects to the checksum). What it gives for one must be the
    // data the stream was made from.
    const bool lenient = libdeflateOk && !zlibOk;
    if (lenient && (libdeflateLength != payloadSize ||
                    std::memcmp(viaLibdeflate.data(), payload, payloadSize) != 0)) {
        std::abort();
    }
    if (libdeflateOk && zlibOk &&
        (zlibLength != libdeflateLength ||
         std::memcmp(viaZlib.data(), viaLibdeflate.data(), zlibLength) != 0)) {
        std::abort();
    }
    // Undamaged, the stream must come back whole when it fits, and be refused when it does not.
    if (damages == 0 && (zlibOk != (capacity >= fit) ||
                         (zlibOk && (zlibLength != fit ||
                                     std::memcmp(viaZlib.data(), payload, payloadSize) != 0)))) {
        std::abort();
    }
    if (block_codec::Crc32(0, stream.data(), length) !=
        static_cast<uint32_t>(crc32(0L, stream.data(), static_cast<uInt>(length)))) {
        std::abort();
    }
    ++counts.inputs;
    counts.accepted += libdeflateOk && zlibOk ? 1 : 0;
    counts.onlyZlib += zlibOk && !libdeflateOk ? 1 : 0;
    counts.onlyLibdeflate += lenient ? 1 : 0;
    counts.damaged += damages > 0 ? 1 : 0;
    counts.damagedAccepted += damages > 0 && libdeflateOk && zlibOk ? 1 : 0;
    return 0;
}
