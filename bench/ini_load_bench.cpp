// Times the INI loader alone: the same file text as bench.py's INI rows ("[Config]" and KEYS lines
// "keyN = value number N"), built in memory and loaded RUNS times into a fresh table. Prints the
// seconds of each load; process start-up and file reading are not part of them.
//
//   ini_load_bench KEYS [RUNS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ini/ini_table.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ini_load_bench KEYS [RUNS]\n");
        return 2;
    }
    const long keys = std::strtol(argv[1], nullptr, 10);
    const long runs = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 11;
    std::string text = "[Config]\r\n";
    for (long i = 0; i < keys; ++i) {
        text += "key" + std::to_string(i) + " = value number " + std::to_string(i) + "\r\n";
    }
    std::vector<uint8_t> bytes = {0xFF, 0xFE};
    for (char c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    std::vector<double> seconds;
    for (long r = 0; r < runs; ++r) {
        IniTable* table = IniTableCreate(0);
        const auto start = std::chrono::steady_clock::now();
        const int32_t loaded = IniTableLoadBytes(bytes, table);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (loaded != 1 || IniTableKeyCount(table, u"Config") != keys) {
            std::fprintf(stderr, "ini_load_bench: the load lost keys\n");
            return 1;
        }
        IniTableFree(table);
        seconds.push_back(took.count());
    }
    for (double s : seconds) {
        std::printf("%.6f\n", s);
    }
    return 0;
}
