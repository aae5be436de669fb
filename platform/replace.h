// Replacing a file in whole: a reader, or a power loss, sees the old file or the new one, never a
// part of either. Every file this system rewrites goes through ReplaceFile.
//
// Paths are device paths, resolved as in file.h. Nothing is ever written through a link: the
// scratch file is created exclusively, and the final rename refuses a link where links are guarded.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// The base of the scratch names of the device program. A device runs one installer at a time, so
// under a rule without a record (the card's log) a fixed base lets a scratch file left by a power
// loss be taken over, and so removed, the next time the same file is replaced.
inline constexpr std::u16string_view kScratchBase = u"~qzpnew.tmp";

// The device's path limit in UTF-16 units, the terminator not counted.
inline constexpr std::size_t kDevicePathUnits = 259;

// The one rule for naming scratch files. A scratch file lies in the directory of the file it
// replaces (the rename stays on one volume) and is named by the longest prefix of `base` that the
// room allows, without a final dot (Windows drops it). With a limit, a path may count at most
// `maxUnits` UTF-16 units, counted with `limitShift` units more than it holds (a host folder that
// stands for a device folder of another length); the file's own name takes at least one unit, so
// every path within the limit can be replaced. `base` is not owned.
struct ScratchRule {
    std::u16string_view base = kScratchBase;
    std::size_t maxUnits = 0;  // 0: no limit
    std::ptrdiff_t limitShift = 0;
    // Where the rule records the path of each scratch file just before it is made (the file is
    // rewritten whole; ReadScratchRecord reads it), so that the next run can remove one a power
    // loss left. With a record, nothing that stands at the scratch name is touched: it is not
    // known to be ours, and the replace fails (kCreate). Null: what stands there is taken for a
    // scratch file a killed run of the same rule left, and removed (a link itself, never what it
    // points to). Recording is best effort: a record that cannot be written stops nothing.
    const char16_t* record = nullptr;

    // A host tool's rule: a base of its own run ("~qzp" and eight random hex digits), so that two
    // runs writing into one folder never share a scratch file. No limit.
    static ScratchRule OfThisRun();
    // The device's rule, for every file the installer replaces: `base` (kScratchBase, or an
    // extraction plan's), within the device's path limit counted with `limitShift` units more.
    static ScratchRule OnDevice(std::ptrdiff_t limitShift = 0,
                                std::u16string_view base = kScratchBase) {
        return ScratchRule{base, kDevicePathUnits, limitShift};
    }
};

// The scratch path for replacing `target` under `rule`; false when `target` ends with a
// separator, is over the rule's limit or leaves no room for a scratch name.
bool ScratchPath(std::u16string_view target, const ScratchRule& rule, std::u16string& scratch);

// The scratch path `record` (ScratchRule::record) names: the one made last under a rule with that
// record. False when there is none, or the record is not whole.
bool ReadScratchRecord(const char16_t* record, std::u16string& scratch);

// True when `level` (one level of a path) may be the name of a scratch file under a rule with
// `base`, in any letter case.
bool IsScratchLevel(std::u16string_view level, std::u16string_view base = kScratchBase);

enum class ReplaceResult {
    kReplaced,
    kNoScratchPath,  // ScratchPath failed
    kCreate,         // the scratch file could not be created
    kWrite,          // `write` returned false
    kCommit,         // the data could not be made durable
    kRename,         // the rename over `target` failed
};

// Writes a new `target`: `write` fills the scratch file's stream (through WriteStream), which is
// then committed and closed; `accept`, when given, may read the closed scratch file by its path and
// refuse it (kWrite); then it is renamed over `target`. On any failure `target` is as it was and
// no scratch file remains; LastFileError gives the system's reason where a file call failed.
ReplaceResult ReplaceFile(const char16_t* target, const ScratchRule& rule,
                          const std::function<bool(std::FILE*)>& write,
                          const std::function<bool(const char16_t*)>& accept = {});

// ReplaceFile whose new contents are the `size` bytes at `data`. `prepare`, when given, is handed
// the scratch file's stream before anything is written and may refuse it (kWrite), e.g. after
// failing to make it private.
ReplaceResult ReplaceFileWith(const char16_t* target, const ScratchRule& rule, const void* data,
                              std::size_t size,
                              const std::function<bool(std::FILE*)>& prepare = {});

// Replaces `target` by a copy of the regular file `source` (kWrite also when `source` cannot be
// opened or read).
ReplaceResult ReplaceWithCopy(const char16_t* source, const char16_t* target,
                              const ScratchRule& rule);

}  // namespace platform
