// What every qzp command prints: its two kinds of error line, its JSON output and a progress bar.
//
// Exit statuses: 0 success; 1 a bad package or file, or a failed operation (reported with
// ReportFailure); 2 a usage error (reported with ReportUsage). Each error is one line on stderr,
// with control characters and bytes that are not UTF-8 escaped. Commands print nothing but these
// lines on stderr, apart from the progress bar and warnings ("qzp: warning: ...").
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>

namespace CLI {
class App;
}  // namespace CLI

// Prints "qzp: MESSAGE; see 'qzp COMMAND --help'" on stderr, COMMAND being the words that name
// `command` ("pack", "ini set"; none for the top level), and returns exit status 2. For arguments
// a command refuses after parsing them; main sends CLI11's own parse errors here too.
int ReportUsage(const CLI::App& command, const std::string& message);

// Prints "qzp: SUBJECT: MESSAGE" on stderr and returns exit status 1. SUBJECT is the file
// concerned, as given on the command line (on Windows with `\` between all its levels).
int ReportFailure(const std::string& subject, const std::string& message);

// The version of the JSON that commands print, its first member "format": raised when a member
// changes its meaning or goes; new members may come without it.
inline constexpr int kJsonFormat = 1;

// Prints `document` (an object) on stdout after {"format": kJsonFormat}, indented by two spaces,
// with a final newline. Text that is not
// UTF-8 comes out as U+FFFD instead of failing; callers that want such bytes legible pass
// ValidUtf8(text) (platform/text.h), which writes them as `\xNN`.
void PrintJson(const nlohmann::ordered_json& document);

// `text` as a JSON value: null when it is empty (a value that is absent).
nlohmann::ordered_json OrNull(const std::string& text);

// Packages and trees smaller than this get no progress bar: it would only flicker.
inline constexpr uint64_t kProgressFromBytes = 8u << 20;

// `--quiet` on a command that shows progress: no progress bar is drawn.
void AddQuietOption(CLI::App* command);

// Draws the share of a check (0 to 100; negative: done) on the ProgressBar `bar`, as
// SessionPolicy::checking.
void ShowChecked(void* bar, int percent);

// True when a bar for work on `bytes` bytes is wanted: stderr is a terminal, the work is large
// and no --quiet was given.
bool ProgressWanted(uint64_t bytes);

// A one-line progress bar on stderr, drawn only when stderr is a terminal (and no --quiet was
// given). Redraws only when the shown percentage changes; with `total` 0 the label alone is shown
// (work whose share cannot be told, such as a key's password hashing).
class ProgressBar {
  public:
    ProgressBar(const char* label, bool enabled);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void Show(uint64_t done, uint64_t total);
    // Clears the line (call before printing anything else).
    void Finish();

  private:
    const char* label_;
    bool enabled_;
    int shown_ = -1;
};

// True when stderr is a terminal.
bool StderrIsTerminal();
