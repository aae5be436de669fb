// A fresh folder of the device per test, on either implementation of the platform: the tests
// address it with device paths (Path), and check what it holds through the host's file system
// (std::filesystem), never through the calls under test. Lay files out before the first call
// that reads their folder: the POSIX image does not see changes made behind its back.
//
// POSIX: the folder is a new device image (root_) inside a temporary directory (base_) that
// leaves room outside it; time runs instantly, dialogs are headless, and the positions progress
// bars show are recorded. Win32: the folder is made at the top of the current drive (under Wine:
// the prefix's drive C: when run from there).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/system.h"
#include "tests/test_image.h"

#ifdef _WIN32
#include <process.h>
#else
#include "platform/posix/host.h"
#endif

namespace platform::testing {

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        static std::atomic<int> serial{0};
        name_ = "qzp-test-" + std::to_string(_getpid()) + "-" + std::to_string(++serial);
        top_ = u"\\" + std::u16string(name_.begin(), name_.end());
#else
        scratch_.emplace();
        base_ = scratch_->Path().string();
        name_ = scratch_->Path().filename().string();
        root_ = base_ + "/device";
        std::filesystem::create_directories(root_);
        host::Options options;
        options.ui = host::UiKind::kHeadless;
        options.answer = host::Answer::kTimeout;
        options.timeScale = 0;
        host::Configure(options);
        host::Observers observers;  // called on the dialog's thread, the test's
        observers.progress = [this](int position) { progress_.push_back(position); };
        host::SetObservers(observers);
#endif
        bound_.emplace(root_);
        folder_ = std::filesystem::path(DevicePathToHost(Path(u"").c_str()));
        std::filesystem::create_directories(folder_);
    }

    void TearDown() override {
#ifdef _WIN32
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
#else
        host::SetObservers({});
        scratch_.reset();
#endif
    }

    // The device path of `relative` (levels separated by `\`) inside the test's folder.
    std::u16string Path(const std::u16string& relative) const {
        return relative.empty() ? (top_.empty() ? u"\\" : top_) : top_ + u"\\" + relative;
    }

    // Host access to the test's folder; `relative` uses `/`.
    std::filesystem::path Host(const std::string& relative) const {
        return folder_ / relative;
    }

    void WriteFile(const std::string& relative, const std::string& content) const {
        testimage::WriteAll(Host(relative), content);
    }

    std::string ReadFile(const std::string& relative) const {
        return testimage::ReadAll(Host(relative));
    }
    bool Exists(const std::string& relative) const {
        return std::filesystem::exists(std::filesystem::symlink_status(Host(relative)));
    }

    // The names a folder holds, spelt as stored.
    std::set<std::string> Names(const std::string& relative) const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Host(relative))) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    // The shell's delete of `list` (NUL-separated sources ending with an empty one).
    static int ShellDelete(const char16_t* list, uint16_t flags = kFileOpNoConfirmation,
                           int32_t* aborted = nullptr) {
        const ShellFileOperation op{nullptr, kFileOpDelete, list,    nullptr,
                                    flags,   aborted,       nullptr, u"Delete now......"};
        return RunShellFileOperation(op);
    }

    // Puts the vendor's library where LoadLibraryByName(u"velmorin.dll") finds it (Win32: beside
    // the test program already; POSIX: the stand-in from there, copied to the image's \Windows).
    void InstallVendorLibrary() const {
#ifndef _WIN32
        std::filesystem::create_directories(Host("Windows"));
        std::filesystem::copy_file(
            std::filesystem::read_symlink("/proc/self/exe").parent_path() / "velmorin_standin.so",
            Host("Windows/velmorin.dll"));
#endif
    }

    std::string name_;
    std::u16string top_;                         // Win32: the device path of the test's folder
    std::optional<testimage::Scratch> scratch_;  // POSIX: the image and what lies outside it
    std::string base_;                           // POSIX: the scratch directory
    std::string root_;  // POSIX: the device image, which is the test's folder
    std::filesystem::path folder_;
    std::vector<int> progress_;  // POSIX: the positions progress bars showed, oldest first
    std::optional<testimage::Bound> bound_;
};

}  // namespace platform::testing
