// The package tests' fixture: a fresh device root per test and an archive opened from bytes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "package/package.h"
#include "tests/package/package_builder.h"
#include "tests/test_image.h"

namespace pkgtest {

// A fresh device root per test; extractions go to \out\.
class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directory(root_ / "out"); }
    void TearDown() override { Close(); }

    void WriteHost(const std::string& relative, const Bytes& bytes) {
        testimage::WriteAll(root_ / relative,
                            {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    }
    Bytes ReadHost(const std::string& relative) {
        const std::string text = testimage::ReadAll(root_ / relative);
        return Bytes(text.begin(), text.end());
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

    testimage::Scratch scratch_;
    const std::filesystem::path root_ = scratch_.Path();
    testimage::Bound bound_{root_};
    Bytes package_;  // the bytes an archive opened by Open reads
    PackageArchive* archive_ = nullptr;
    PackageEntry** entries_ = nullptr;
    uint32_t count_ = 0;
};

}  // namespace pkgtest
