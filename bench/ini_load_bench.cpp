// Times the INI loader alone: one section "[Config]" of KEYS lines "keyN = value number N", N of
// six digits (every line as long at any KEYS, so the input grows with the keys alone), built
// in memory and loaded once into a fresh table. Prints the seconds of the load; process start-up
// and file reading are not part of it. One load per process, as a program that reads a settings
// file makes it: a second load in the same process would reuse memory the first one touched, which
// favours tables small enough for the allocator to keep for reuse.
//
//   ini_load_bench KEYS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ini/ini_load.h"
#include "ini/ini_table.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ini_load_bench KEYS\n");
        return 2;
    }
    const long keys = std::strtol(argv[1], nullptr, 10);
    // Built in place, so that no memory the input freed is there for the table to reuse: a
    // smaller input would leave it a larger share of its table's pages already touched.
    std::string text;
    text.reserve(48 * static_cast<std::size_t>(keys) + 16);
    text = "[Config]\r\n";
    for (long i = 0; i < keys; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "key%06ld = value number %06ld\r\n", i, i);
        text += line;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(2 * text.size() + 2);
    bytes.push_back(0xFF);
    bytes.push_back(0xFE);
    for (char c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    IniTable* table = IniTableCreate(0);
    const auto start = std::chrono::steady_clock::now();
    const int32_t loaded = IniTableLoadBytes(bytes, table);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (loaded != 1 || IniTableKeyCount(table, u"Config") != keys) {
        std::fprintf(stderr, "ini_load_bench: the load lost keys\n");
        return 1;
    }
    IniTableFree(table);
    std::printf("%.6f\n", took.count());
    return 0;
}
