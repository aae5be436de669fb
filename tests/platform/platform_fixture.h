// A fresh device image and event record per test, with time running instantly.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/posix/host.h"
#include "platform/system.h"
#include "platform/text.h"

namespace platform::testing {

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override { Reconfigure(host::Answer::kTimeout); }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
    }

    void Reconfigure(host::Answer answer) {
        if (base_.empty()) {
            char pattern[] = "/tmp/qzp-platform-XXXXXX";
            base_ = mkdtemp(pattern);
            root_ = base_ + "/device";
            std::filesystem::create_directories(root_);
        }
        bound_.reset();
        files_ = FileSystem::DeviceImage(root_);
        bound_.emplace(*files_);
        setenv("QZP_DEVICE_ROOT", root_.c_str(), 1);
        host::Options options;
        options.ui = host::UiKind::kHeadless;
        options.answer = answer;
        options.timeScale = 0;
        host::Configure(options);
        // What the platform reports, recorded as JSON lines beside the vendor stand-in's.
        const std::string events = base_ + "/events.jsonl";
        setenv("QZP_EVENTS_FILE", events.c_str(), 1);
        const auto emit = [events](const nlohmann::json& event) {
            std::ofstream(events, std::ios::app) << event.dump() << '\n';
        };
        host::Observers observers;
        observers.messageBox = [emit](const std::u16string& caption, const std::u16string& text,
                                      uint32_t type) {
            emit({{"event", "messagebox"},
                  {"caption", Utf16ToUtf8(caption)},
                  {"text", Utf16ToUtf8(text)},
                  {"type", type}});
        };
        observers.progress = [emit](int position) {
            emit({{"event", "progress"}, {"position", position}});
        };
        observers.exit = [emit](int status) { emit({{"event", "exit"}, {"status", status}}); };
        host::SetObservers(observers);
    }

    // The events recorded so far, oldest first.
    std::vector<nlohmann::json> Events() const {
        std::vector<nlohmann::json> events;
        std::ifstream in(base_ + "/events.jsonl");
        for (std::string line; std::getline(in, line);) {
            events.push_back(nlohmann::json::parse(line));
        }
        return events;
    }

    std::vector<nlohmann::json> Events(const std::string& kind) const {
        std::vector<nlohmann::json> selected;
        for (auto& e : Events()) {
            if (e["event"] == kind) {
                selected.push_back(e);
            }
        }
        return selected;
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

    std::string base_;
    std::string root_;
    std::unique_ptr<FileSystem> files_;
    std::optional<UseFiles> bound_;
};

}  // namespace platform::testing
