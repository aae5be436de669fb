// Times the INI loader alone: one section "[Config]" of KEYS lines "keyN = value number N", built
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
    std::string text = "[Config]\r\n";
    for (long i = 0; i < keys; ++i) {
        text += "key" + std::to_string(i) + " = value number " + std::to_string(i) + "\r\n";
    }
    std::vector<uint8_t> bytes = {0xFF, 0xFE};
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
