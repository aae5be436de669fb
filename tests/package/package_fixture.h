// The package tests' fixture: a fresh device root per test and an archive opened from bytes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "package/package.h"
#include "platform/file.h"
#include "tests/package/package_builder.h"

namespace pkgtest {

// A PackageContentsProc that appends the bytes to the Bytes at `context`.
inline int32_t AppendTo(void* context, const uint8_t* data, uint32_t size) {
    static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), data, data + size);
    return 0;
}

// A fresh device root per test; extractions go to \out\.
class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qzp-package-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        files_ = platform::FileSystem::DeviceImage(root_.string());
        bound_.emplace(*files_);
        std::filesystem::create_directory(root_ / "out");
    }
    void TearDown() override {
        Close();
        std::filesystem::remove_all(root_);
    }

    void WriteHost(const std::string& relative, const Bytes& bytes) {
        std::ofstream out(root_ / relative, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    Bytes ReadHost(const std::string& relative) {
        std::ifstream in(root_ / relative, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Exists(const std::string& relative) { return std::filesystem::exists(root_ / relative); }
    // Every path under the root, sorted.
    std::vector<std::string> Tree() {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root_)) {
            out.push_back(std::filesystem::relative(e.path(), root_).string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    // Opens the package from memory; the archive is closed by Close() or at the end.
    bool Open(const Bytes& bytes, int32_t prefixed = 0) {
        Close();
        package_ = bytes;
        return PackageOpenBytes(package_, &archive_, &entries_, &count_, prefixed) == 1;
    }
    // Writes the package to \pkg.qzp and opens the file.
    bool OpenFile(const Bytes& bytes, int32_t prefixed = 0) {
        Close();
        WriteHost("pkg.qzp", bytes);
        return PackageOpen(u"\\pkg.qzp", &archive_, &entries_, &count_, prefixed) == 1;
    }
    void Close() {
        PackageClose(archive_);
        archive_ = nullptr;
    }

    std::filesystem::path root_;
    std::unique_ptr<platform::FileSystem> files_;
    std::optional<platform::UseFiles> bound_;
    Bytes package_;  // the bytes an archive opened by Open reads
    PackageArchive* archive_ = nullptr;
    PackageEntry** entries_ = nullptr;
    uint32_t count_ = 0;
};

}  // namespace pkgtest
