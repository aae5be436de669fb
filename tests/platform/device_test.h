// A fresh folder of the device per test, on either implementation of the platform: the tests
// address it with device paths only (Path), and check what it holds through the host's file
// system (std::filesystem), never through the calls under test. Lay files out before the first
// call that reads their folder: the POSIX image does not see changes made behind its back.
//
// POSIX: a new temporary directory is the device image and the folder lies at its top.
// Win32: the folder is made at the top of the current drive (under Wine: the prefix's drive C:
// when run from there).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/file.h"

#ifdef _WIN32
#include <process.h>
#define QZP_TEST_PID _getpid()
#else
#include <unistd.h>
#define QZP_TEST_PID getpid()
#endif

namespace platform::testing {

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> serial{0};
        name_ = "qzp-test-" + std::to_string(QZP_TEST_PID) + "-" + std::to_string(++serial);
#ifndef _WIN32
        image_ = std::filesystem::temp_directory_path() / name_;
        std::filesystem::create_directories(image_);
#endif
        files_ = FileSystem::DeviceImage(image_.string());
        bound_.emplace(*files_);
        folder_ = std::filesystem::path(DevicePathToHost(Path(u"").c_str()));
        std::filesystem::create_directories(folder_);
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(image_.empty() ? folder_ : image_, ignored);
    }

    // The device path of `relative` (levels separated by `\`) inside the test's folder.
    std::u16string Path(const std::u16string& relative) const {
        std::u16string path = u"\\" + std::u16string(name_.begin(), name_.end());
        return relative.empty() ? path : path + u"\\" + relative;
    }

    // Host access to the test's folder; `relative` uses `/`.
    std::filesystem::path Host(const std::string& relative) const {
        return folder_ / relative;
    }

    void WriteFile(const std::string& relative, const std::string& content) const {
        std::filesystem::create_directories(Host(relative).parent_path());
        std::ofstream(Host(relative), std::ios::binary) << content;
    }

    std::string ReadFile(const std::string& relative) const {
        std::ifstream in(Host(relative), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // The names a folder holds, spelt as stored.
    std::set<std::string> Names(const std::string& relative) const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Host(relative))) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    // Puts the vendor's library where LoadLibraryByName(u"velmorin.dll") finds it (Win32: beside
    // the test program already; POSIX: the stand-in from there, copied to the image's \Windows).
    void InstallVendorLibrary() const {
#ifndef _WIN32
        std::filesystem::create_directories(image_ / "Windows");
        std::filesystem::copy_file(
            std::filesystem::read_symlink("/proc/self/exe").parent_path() / "velmorin_standin.so",
            image_ / "Windows" / "velmorin.dll");
#endif
    }

    std::string name_;
    std::filesystem::path image_;  // POSIX: the device image of this test
    std::filesystem::path folder_;
    std::unique_ptr<FileSystem> files_;
    std::optional<UseFiles> bound_;
};

}  // namespace platform::testing
