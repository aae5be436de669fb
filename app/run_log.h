// The technician's log: every run of the installer appends a short plain-text record to
// \SDMMC\qzpupdate.log, one line per step, so that whoever gets a device back can read from the
// card what was installed, what was refused and why. UTF-8, lines ended with CR LF, each:
//
//   2026-12-07 04:05:06 check: VORIZ\VORIZ.exe: CRC-32 mismatch; shows "Invalid update File"
//
// The file keeps its last 64 KB in whole lines. It is never appended to in place: the whole new
// contents go to a scratch file beside it that is committed and renamed over it, so a write cut
// by a power loss leaves the previous log whole. A card that cannot be written loses the record
// and nothing else: the log never changes what the installer does.
#pragma once

#include <cstddef>
#include <string>

#include "app/device_paths.h"
#include "app/step_outcome.h"

namespace app {

inline constexpr std::size_t kRunLogLimit = 64 * 1024;

// Appends `lines` (whole lines) to the log at `path`, dropping its oldest lines so that at most
// `limit` bytes remain. False when the log could not be written.
bool AppendToLog(const char16_t* path, const std::string& lines, std::size_t limit);

// The record of one run: lines are stamped when added and written out when the run is about to
// change the flash volume or to end, a few writes per run.
class RunLog {
  public:
    explicit RunLog(const char16_t* path = kRunLogPath) : path_(path) {}
    void Add(const StepOutcome& outcome);
    void Flush();

  private:
    const char16_t* path_;
    std::string pending_;
};

}  // namespace app
