// Byte builders for package fixtures, independent of the library's own writer: entries are laid
// out record by record here, blocks compressed with zlib's compress2 and CRCs taken from zlib's
// crc32, so the reader is checked against a second implementation of the layout. Manifests are
// written by the settings library. No test framework here, so fuzzers can build packages with it.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ini/ini_table.h"
#include "ini/ini_write.h"
#include "package/layout.h"

namespace pkgtest {

using Bytes = std::vector<uint8_t>;

inline Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline Bytes Compress(const uint8_t* data, size_t size, int level = Z_DEFAULT_COMPRESSION) {
    uLongf length = compressBound(static_cast<uLong>(size));
    Bytes out(length);
    if (compress2(out.data(), &length, data, static_cast<uLong>(size), level) != Z_OK) {
        std::abort();  // a fixture that cannot be built: no test may run on it
    }
    out.resize(length);
    return out;
}

inline uint32_t Crc(const Bytes& data) {
    return static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), data.data(), static_cast<uInt>(data.size())));
}

// Deterministic bytes that compress a little but not to nothing.
inline Bytes Pattern(size_t size, uint32_t seed = 1) {
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<uint8_t>((x >> 16) % 16 + 'a');
    }
    return out;
}

// A PackageContentsProc that appends the bytes to the Bytes at `context`.
inline int32_t AppendTo(void* context, const uint8_t* data, uint32_t size) {
    static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), data, data + size);
    return 0;
}

struct IniValue {
    std::u16string section;
    std::u16string key;
    std::u16string value;
};

// A UTF-16 INI file's bytes with the given values.
inline std::string IniBytes(const std::vector<IniValue>& values) {
    IniTable* table = IniTableCreate(0);
    if (table == nullptr) {
        std::abort();
    }
    for (const IniValue& v : values) {
        IniTableSetString(table, v.section.c_str(), v.key.c_str(), v.value.c_str());
    }
    const std::vector<unsigned char> bytes = IniTableBytes(table, u"\\VORIZ\\INDEX.INI");
    IniTableFree(table);
    return {bytes.begin(), bytes.end()};
}

// The values of a package manifest.
inline std::vector<IniValue> Manifest(const std::u16string& version, int isPatch = 0,
                                      const std::u16string& oldVersion = u"") {
    std::vector<IniValue> values = {{u"Config", u"SoftwareVersion", version},
                                    {u"UpdateInfo", u"IsPatch", isPatch ? u"1" : u"0"}};
    if (!oldVersion.empty()) {
        values.push_back({u"UpdateInfo", u"oldVersion", oldVersion});
    }
    return values;
}

struct Block {
    uint32_t uncompressedSize;
    uint32_t compressedSize;  // as written in the block table
    Bytes data;               // the bytes in the entry's data region
};

struct Entry {
    std::string name;
    uint32_t crc = 0;
    std::vector<Block> blocks;
    Bytes content;  // the uncompressed content, for comparisons
};

// Appends the `size` low bytes of `v`, least significant first.
inline void PutLe(Bytes& out, uint32_t v, int size) {
    for (int i = 0; i < size; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

class Builder {
  public:
    // A file entry cut into blocks of `blockSize` uncompressed bytes, compressed at `level`.
    Entry& File(const std::string& name, const Bytes& content, size_t blockSize = 16384,
                int level = Z_DEFAULT_COMPRESSION) {
        Entry e;
        e.name = name;
        e.content = content;
        e.crc = Crc(content);
        for (size_t at = 0; at < content.size(); at += blockSize) {
            const size_t n = std::min(blockSize, content.size() - at);
            Bytes packed = Compress(content.data() + at, n, level);
            e.blocks.push_back(
                {static_cast<uint32_t>(n), static_cast<uint32_t>(packed.size()), packed});
        }
        entries.push_back(e);
        return entries.back();
    }
    Entry& Directory(const std::string& name) {
        entries.push_back(Entry{name, 0, {}, {}});
        return entries.back();
    }

    // The whole file. Offsets of the regions are kept for tests that damage them.
    Bytes Build(const Bytes& prefix = {}) {
        Bytes out = prefix;
        const size_t base = prefix.size();
        dataOffsets.clear();
        for (const Entry& e : entries) {
            PutLe(out, kPackageLocalSignature, 4);
            for (uint16_t v : {10, 0, 8, 0, 0}) {  // version, flags, method, time, date
                PutLe(out, v, 2);
            }
            PutLe(out, e.crc, 4);
            PutLe(out, static_cast<uint16_t>(e.name.size()), 2);
            out.insert(out.end(), e.name.begin(), e.name.end());
            dataOffsets.push_back(out.size() - base);
            for (const Block& b : e.blocks) {
                out.insert(out.end(), b.data.begin(), b.data.end());
            }
        }
        const uint32_t directoryOffset = static_cast<uint32_t>(out.size() - base);
        directoryStart = out.size();
        for (const Entry& e : entries) {
            PutLe(out, kPackageDirectorySignature, 4);
            for (uint16_t v : {10, 10, 0, 8, 0, 0}) {  // made by, needed, flags, method, time, date
                PutLe(out, v, 2);
            }
            PutLe(out, e.crc, 4);
            PutLe(out, static_cast<uint16_t>(e.name.size()), 2);
            PutLe(out, static_cast<uint32_t>(e.blocks.size()), 4);
            out.insert(out.end(), e.name.begin(), e.name.end());
            for (const Block& b : e.blocks) {
                PutLe(out, b.uncompressedSize, 4);
                PutLe(out, b.compressedSize, 4);
                PutLe(out, 0, 4);
            }
        }
        endStart = out.size();
        PutLe(out, kPackageEndSignature, 4);
        PutLe(out, static_cast<uint16_t>(entryCount.value_or(entries.size())), 2);
        PutLe(out, directorySize.value_or(static_cast<uint32_t>(endStart - directoryStart)), 4);
        PutLe(out, directoryOffset, 4);
        out.insert(out.end(), comment.begin(), comment.end());
        PutLe(out, commentLength.value_or(static_cast<uint16_t>(comment.size())), 2);
        return out;
    }

    std::vector<Entry> entries;
    std::string comment = "\\SDMMC\\";
    std::optional<uint32_t> entryCount;
    std::optional<uint32_t> directorySize;
    std::optional<uint16_t> commentLength;
    // Filled by Build: offsets of each entry's data (from the first local record), of the
    // directory and of the END record (from the start of the file).
    std::vector<size_t> dataOffsets;
    size_t directoryStart = 0;
    size_t endStart = 0;
};

}  // namespace pkgtest
