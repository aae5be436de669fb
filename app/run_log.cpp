// The technician's log on the card.
#include "app/run_log.h"

#include <cstdio>
#include <new>
#include <vector>

#include "platform/file.h"
#include "platform/replace.h"
#include "platform/system.h"
#include "platform/text.h"

namespace app {
namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr std::size_t kLineLimit = 1024;

#ifndef QZP_VERSION
#define QZP_VERSION "unknown"
#endif

// "2026-12-07 04:05:06 +0100 ": the zone's offset from UTC only where the system knows it.
std::string Stamp() {
    const platform::LocalTime t = platform::CurrentLocalTime();
    char text[48];
    int length = std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u ", t.year % 10000u,
                               t.month % 100u, t.day % 100u, t.hour % 100u, t.minute % 100u,
                               t.second % 100u);
    if (t.zoneKnown) {
        const int offset = t.utcOffsetMinutes < 0 ? -t.utcOffsetMinutes : t.utcOffsetMinutes;
        std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "%c%02d%02d ",
                      t.utcOffsetMinutes < 0 ? '-' : '+', (offset / 60) % 100, offset % 60);
    }
    return text;
}

// The last `limit` bytes of the log at `path` (all of it when smaller); empty when there is none.
std::string ReadTail(const char16_t* path, std::size_t limit) {
    std::FILE* in = platform::OpenStream(path, u"rb");
    if (in == nullptr) {
        return {};
    }
    std::string text;
    if (std::fseek(in, 0, SEEK_END) == 0) {
        const long size = std::ftell(in);
        const long start = size > static_cast<long>(limit) ? size - static_cast<long>(limit) : 0;
        if (size > 0 && std::fseek(in, start, SEEK_SET) == 0) {
            text.resize(static_cast<std::size_t>(size - start));
            text.resize(std::fread(text.data(), 1, text.size(), in));
        }
    }
    std::fclose(in);
    return text;
}

}  // namespace

bool AppendToLog(const char16_t* path, const std::string& lines, std::size_t limit) {
    std::string text = ReadTail(path, limit);
    if (!text.empty() && text.back() != '\n') {
        text += kLineEnd;  // a line someone left unfinished stays one line
    }
    text += lines;
    if (text.size() > limit) {
        // Drop whole lines from the front: cut after the first line end within the excess.
        const std::size_t cut = text.find('\n', text.size() - limit - 1);
        text.erase(0, cut == std::string::npos ? text.size() : cut + 1);
    }
    return platform::ReplaceFileWith(path, platform::ScratchRule::OnDevice(), text.data(),
                                     text.size()) == platform::ReplaceResult::kReplaced;
}

void RunLog::Begin() {
    if (opening_.empty()) {
        opening_ = Stamp();
    }
}

void RunLog::Identify(const PackageIdentity& package) {
    Begin();
    package_ = "package " + platform::Utf16ToUtf8(package.path) + ", " +
               std::to_string(package.size) + " bytes, ";
    if (!package.opened) {
        package_ += "not readable as a package";
    } else if (package.sha256.empty()) {
        package_ += "SHA-256 not known (not read to its end)";
    } else {
        package_ += "SHA-256 " + package.sha256;
    }
    Flush();  // before the run writes anything: a cut from here on leaves the run's start
}

void RunLog::Add(const StepOutcome& outcome) {
    if (closed_) {
        return;
    }
    try {
        Begin();
        pending_ += Stamp() + DescribeStep(outcome) + kLineEnd;
        // Written before anything on the flash volume changes, after each change and whenever
        // the run ends; not while the decode thread runs, which writes alone.
        if (!outcome.GoesOn() || outcome.step == Step::kRoom || outcome.step == Step::kPurge ||
            outcome.step >= Step::kExtraction) {
            Flush();
        }
    } catch (const std::bad_alloc&) {
        pending_.clear();  // out of memory: the record loses these lines, the run goes on
    }
}

void RunLog::Close(const EndingBox& box) {
    if (closed_) {
        return;
    }
    Begin();
    std::string line = "end: no message";
    if (box.shown) {
        line = "end: shows \"" + platform::Utf16ToUtf8(box.text) + "\", captioned \"" +
               platform::Utf16ToUtf8(box.caption) + "\"";
    }
    pending_ += Stamp() + platform::Printable(line, kLineLimit) + kLineEnd;
    Flush();
    closed_ = true;
}

void RunLog::Flush() {
    if (!opened_ && !opening_.empty()) {
        // The run's first line: which installer, how it reads names, and which package.
        char codePage[16];
        std::snprintf(codePage, sizeof codePage, "%u",
                      static_cast<unsigned>(platform::ActiveCodePage()));
        pending_.insert(0, opening_ +
                               platform::Printable(std::string("run: qzpupdate ") + QZP_VERSION +
                                                       ", code page " + codePage + "; " + package_,
                                                   kLineLimit) +
                               kLineEnd);
        opened_ = true;
    }
    if (!pending_.empty() && !closed_) {
        AppendToLog(path_, pending_, kRunLogLimit);
        pending_.clear();
    }
}

}  // namespace app
