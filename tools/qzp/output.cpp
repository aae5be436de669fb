#include "tools/qzp/output.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

#include "tools/qzp/host_path.h"

int ReportUsage(const CLI::App& command, const std::string& message) {
    std::string words;
    for (const CLI::App* at = &command; at->get_parent() != nullptr; at = at->get_parent()) {
        words = " " + at->get_name() + words;
    }
    std::fflush(stdout);  // what was printed before comes first where both streams meet
    std::fprintf(stderr, "qzp: %s; see 'qzp%s --help'\n", Printable(message).c_str(),
                 words.c_str());
    return 2;
}

int ReportFailure(const std::string& subject, const std::string& message) {
    std::string path = subject;
#ifdef _WIN32
    std::replace(path.begin(), path.end(), '/', '\\');  // the host's separator throughout
#endif
    std::fflush(stdout);
    std::fprintf(stderr, "qzp: %s: %s\n", Printable(path).c_str(), Printable(message).c_str());
    return 1;
}

void PrintJson(const nlohmann::ordered_json& document) {
    nlohmann::ordered_json versioned = {{"format", kJsonFormat}};
    versioned.update(document);
    const std::string text = platform::JsonText(
        versioned.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    std::printf("%s\n", text.c_str());
}

nlohmann::ordered_json OrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

namespace {
bool quiet = false;
}  // namespace

void ShowChecked(void* bar, int percent) {
    auto* shown = static_cast<ProgressBar*>(bar);
    if (percent < 0) {
        shown->Finish();
    } else {
        shown->Show(static_cast<uint64_t>(percent), 100);
    }
}

void AddQuietOption(CLI::App* command) {
    command->add_flag_callback(
        "--quiet", [] { quiet = true; },
        "Draw no progress bar (one is drawn on a terminal for large work)");
}

bool ProgressWanted(uint64_t bytes) {
    return !quiet && StderrIsTerminal() && bytes >= kProgressFromBytes;
}

ProgressBar::ProgressBar(const char* label, bool enabled)
    : label_(label), enabled_(enabled && !quiet) {}

ProgressBar::~ProgressBar() {
    Finish();
}

void ProgressBar::Show(uint64_t done, uint64_t total) {
    if (!enabled_) {
        return;
    }
    if (total == 0) {
        std::fprintf(stderr, "\r%s ...", label_);
        std::fflush(stderr);
        shown_ = 0;
        return;
    }
    const int percent = static_cast<int>(std::min<uint64_t>(100, done * 100 / total));
    if (percent == shown_) {
        return;
    }
    shown_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label_, filled,
                 "########################################", kWidth - filled, "", percent);
    std::fflush(stderr);
}

void ProgressBar::Finish() {
    if (enabled_ && shown_ >= 0) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
    shown_ = -1;
}
