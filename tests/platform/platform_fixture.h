// A fresh device image and progress record per test, with time running instantly.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/posix/host.h"
#include "platform/system.h"

namespace platform::testing {

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qzp-platform-XXXXXX";
        base_ = mkdtemp(pattern);
        root_ = base_ + "/device";
        std::filesystem::create_directories(root_);
        files_ = FileSystem::DeviceImage(root_);
        bound_.emplace(*files_);
        host::Options options;
        options.ui = host::UiKind::kHeadless;
        options.answer = host::Answer::kTimeout;
        options.timeScale = 0;
        host::Configure(options);
        host::Observers observers;  // called on the dialog's thread, the test's
        observers.progress = [this](int position) { progress_.push_back(position); };
        host::SetObservers(observers);
    }

    void TearDown() override {
        host::SetObservers({});
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
    }

    void WriteFile(const std::string& relative, const std::string& content) const {
        const std::filesystem::path path = root_ + "/" + relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    // The shell's delete of `list` (NUL-separated sources ending with an empty one).
    static int ShellDelete(const char16_t* list, uint16_t flags = kFileOpNoConfirmation) {
        const ShellFileOperation op{nullptr, kFileOpDelete, list,    nullptr,
                                    flags,   nullptr,       nullptr, nullptr};
        return RunShellFileOperation(op);
    }

    bool Exists(const std::string& relative) const {
        return std::filesystem::exists(std::filesystem::symlink_status(root_ + "/" + relative));
    }

    std::vector<int> progress_;  // the positions progress bars showed, oldest first
    std::string base_;
    std::string root_;
    std::unique_ptr<FileSystem> files_;
    std::optional<UseFiles> bound_;
};

}  // namespace platform::testing
