// The technician's log: every run of the installer appends a short plain-text record to
// \SDMMC\qzpupdate.log, one line per step, so that whoever gets a device back can read from the
// card what was installed, what was refused and why. UTF-8, lines ended with CR LF, each:
//
//   2026-12-07 04:05:06 +0100 check: VORIZ\VORIZ.exe: CRC-32 mismatch; shows "Invalid update File"
//
// the time stamp with the zone's offset from UTC where the system knows it. A run opens with one
// line naming the installer, the device's code page and the package ("run: qzpupdate 1.4.0, code
// page 1252; package \SDMMC\VORIZ.QZP, 5120 bytes, SHA-256 ..."), and one that shows a box, or
// ends without one, closes with a line saying so ("end: shows "TEXT", captioned "CAPTION"" or "end:
// no message"), written before the box is shown. A run without its closing line was cut short.
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
    // The package the run reads, for the opening line; written at once with the lines so far,
    // before the run writes anything else.
    void Identify(const PackageIdentity& package);
    void Add(const StepOutcome& outcome);
    // The run's closing line, naming the box it is about to show (none: `box.shown` false; its
    // caption as shown, the program's title for the standard box), then written out. Nothing is
    // added after it.
    void Close(const EndingBox& box);
    void Flush();

  private:
    void Begin();  // the run's start, stamped on its opening line

    const char16_t* path_;
    std::string opening_;  // the opening line's stamp and step name, taken when the run starts
    std::string package_ = "no package";
    bool opened_ = false;  // the opening line is written
    bool closed_ = false;
    std::string pending_;
};

}  // namespace app
