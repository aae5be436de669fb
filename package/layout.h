// Record layout of a package file: signatures, record sizes, the limits the reader's fixed buffers
// are sized for, and little-endian field access. Internal to the package library: tools and the
// installer go through package.h and the other interface headers; only the library, its tests and
// its fuzzers, which handle package bytes directly, include it.
//
// Every integer in a package is unsigned little-endian and stored packed, so fields are read and
// written byte by byte: no casts of possibly unaligned pointers (the device is 32-bit ARM).
#pragma once

#include <cstdint>

inline constexpr uint32_t kPackageLocalSignature = 0x0403D8FFu;      // FF D8 03 04
inline constexpr uint32_t kPackageDirectorySignature = 0x0201D8FFu;  // FF D8 01 02
inline constexpr uint32_t kPackageEndSignature = 0x0403D9FFu;        // FF D9 03 04

inline constexpr uint16_t kPackageVersion = 10;       // versionMadeBy / versionNeeded
inline constexpr uint16_t kPackageMethodDeflate = 8;  // the only method

inline constexpr uint32_t kPackageLocalRecordSize = 20;      // + name
inline constexpr uint32_t kPackageDirectoryRecordSize = 26;  // + name + 12 per block
inline constexpr uint32_t kPackageBlockRowSize = 12;
inline constexpr uint32_t kPackageEndRecordSize = 14;
inline constexpr uint32_t kPackageCommentLengthSize = 2;

// Offsets inside a directory record.
inline constexpr uint32_t kDirectoryNameLengthOffset = 20;
inline constexpr uint32_t kDirectoryBlockCountOffset = 22;

inline constexpr uint32_t kPackageMaxEntries = 65535;
inline constexpr uint16_t kPackageNoEntry = 0xFFFF;
inline constexpr uint32_t kPackageMaxNameLength = 259;
inline constexpr uint32_t kPackageMaxCommentLength = 259;
inline constexpr uint32_t kPackagePathCapacity = 260;  // wide units, terminator included
inline constexpr uint32_t kPackageBlockSize = 16384;   // uncompressed bytes per block when packing
inline constexpr uint32_t kPackageMaxCompressedBlock = 16639;    // 0x40FF
inline constexpr uint32_t kPackageMaxUncompressedBlock = 65535;  // the work buffer's size
inline constexpr uint32_t kPackageWorkBufferSize = 65535;

inline uint16_t ReadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void WriteLe16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

inline void WriteLe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}
