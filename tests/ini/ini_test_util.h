// Helpers of the settings tests: a device image per test, UTF-16 file builders and a dump of a
// table in slot order that serves as the expected-result text of table-driven cases.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ini/ini_table.h"
#include "platform/device_test.h"
#include "platform/file.h"
#include "platform/text.h"

namespace ini_test {

using Bytes = std::vector<unsigned char>;

struct TableDeleter {
    void operator()(IniTable* t) const { IniTableFree(t); }
};
using TablePtr = std::unique_ptr<IniTable, TableDeleter>;

// UTF-16 little-endian bytes of `text`, after the mark FF FE when `mark` is set.
inline Bytes Utf16Le(const std::u16string& text, bool mark = true) {
    Bytes bytes = mark ? Bytes{0xFF, 0xFE} : Bytes{};
    for (char16_t c : text) {
        bytes.push_back(static_cast<unsigned char>(c & 0xFF));
        bytes.push_back(static_cast<unsigned char>(c >> 8));
    }
    return bytes;
}

// Each test gets its own device image; its files are named by device path.
class DeviceRootTest : public platform::testing::DeviceTest {
  protected:
    std::filesystem::path Host(const char16_t* devicePath) const {
        return platform::DevicePathToHost(devicePath);
    }
    void WriteFile(const char16_t* devicePath, const Bytes& bytes) const {
        testimage::WriteAll(Host(devicePath),
                            {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    }
    Bytes ReadFile(const char16_t* devicePath) const {
        const std::string text = testimage::ReadAll(Host(devicePath));
        return Bytes(text.begin(), text.end());
    }
};

// "key=value" for every occupied slot in slot order, joined by '|'; free slots are skipped.
inline std::string Dump(const IniTable* table) {
    std::string out;
    for (int32_t i = 0; i < table->capacity; ++i) {
        const IniEntry& e = table->entries[i];
        if (e.key[0] != 0) {
            out += (out.empty() ? "" : "|") + platform::Utf16ToUtf8(e.key) + "=" +
                   platform::Utf16ToUtf8(e.value);
        }
    }
    return out;
}

}  // namespace ini_test
