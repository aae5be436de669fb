// The floors for extraction, with no package library in between. The whole package is read into
// memory, every block decoded with zlib's uncompress and every file's CRC-32 checked with crc32,
// on one thread:
//   zlib_baseline --decode-only PACKAGE   writes nothing: the decode limit
//   zlib_baseline PACKAGE DIR             also writes the files with plain open/write/close: the
//                                         plain extractor
// Exit status 0 when every entry was decoded (and written) and checked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

uint32_t Le16(const std::vector<uint8_t>& b, std::size_t at) {
    return static_cast<uint32_t>(b[at] | b[at + 1] << 8);
}
uint32_t Le32(const std::vector<uint8_t>& b, std::size_t at) {
    return Le16(b, at) | Le16(b, at + 2) << 16;
}

int Fail(const char* what) {
    std::fprintf(stderr, "zlib_baseline: %s\n", what);
    return 1;
}

// Creates every directory of `path` up to its last `/`.
void MakeParents(const std::string& path) {
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        mkdir(path.substr(0, at).c_str(), 0755);
    }
}

// Writes all of `data` to `fd`.
bool WriteAll(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool decodeOnly = argc == 3 && std::string(argv[1]) == "--decode-only";
    if (argc != 3) {
        return Fail("usage: zlib_baseline PACKAGE DIR | zlib_baseline --decode-only PACKAGE");
    }
    const char* package = decodeOnly ? argv[2] : argv[1];
    std::FILE* in = std::fopen(package, "rb");
    if (in == nullptr) {
        return Fail("cannot open the package");
    }
    std::vector<uint8_t> b;
    std::fseek(in, 0, SEEK_END);
    b.resize(static_cast<std::size_t>(std::ftell(in)));
    std::fseek(in, 0, SEEK_SET);
    const bool read = std::fread(b.data(), 1, b.size(), in) == b.size();
    std::fclose(in);
    if (!read || b.size() < 17) {
        return Fail("cannot read the package");
    }
    const std::size_t end = b.size() - 16 - Le16(b, b.size() - 2);
    const uint32_t count = Le16(b, end + 4);
    std::size_t record = end - Le32(b, end + 6);
    std::size_t data = 0;
    const std::string root = std::string(argv[2]) + "/";
    std::vector<uint8_t> out(65535);
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t crc = Le32(b, record + 16);
        const uint32_t nameLength = Le16(b, record + 20);
        const uint32_t blocks = Le32(b, record + 22);
        std::string name(reinterpret_cast<const char*>(&b[record + 26]), nameLength);
        for (char& c : name) {
            if (c == '\\')
                c = '/';
        }
        const std::string path = root + name;
        data += 20 + nameLength;
        if (blocks == 0) {
            if (!decodeOnly) {
                MakeParents(path);
                mkdir(path.c_str(), 0755);
            }
        } else {
            int fd = -1;
            if (!decodeOnly) {
                fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd < 0) {
                    MakeParents(path);
                    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                }
                if (fd < 0) {
                    return Fail("cannot create an output file");
                }
            }
            uLong check = crc32(0L, Z_NULL, 0);
            for (uint32_t j = 0; j < blocks; ++j) {
                const std::size_t row = record + 26 + nameLength + 12 * j;
                const uint32_t packed = Le32(b, row + 4);
                uLongf length = static_cast<uLongf>(out.size());
                if (uncompress(out.data(), &length, &b[data], packed) != Z_OK ||
                    length != Le32(b, row)) {
                    return Fail("a block does not inflate");
                }
                check = crc32(check, out.data(), static_cast<uInt>(length));
                if (fd >= 0 && !WriteAll(fd, out.data(), length)) {
                    return Fail("cannot write");
                }
                data += packed;
            }
            if ((fd >= 0 && close(fd) != 0) || check != crc) {
                return Fail("CRC-32 mismatch or write failure");
            }
        }
        record += 26 + nameLength + 12 * blocks;
    }
    return 0;
}
