// The technician's log on the card.
#include "app/run_log.h"

#include <cstdio>
#include <vector>

#include "platform/file.h"
#include "platform/replace.h"
#include "platform/system.h"
#include "platform/text.h"

namespace app {
namespace {

constexpr char kLineEnd[] = "\r\n";

std::string Stamp() {
    const platform::LocalTime t = platform::CurrentLocalTime();
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u ", t.year % 10000u,
                  t.month % 100u, t.day % 100u, t.hour % 100u, t.minute % 100u, t.second % 100u);
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

void RunLog::Add(const StepOutcome& outcome) {
    pending_ += Stamp() + DescribeStep(outcome) + kLineEnd;
    // Written before anything on the flash volume changes, after each change and whenever the
    // run ends; not while the decode thread runs, which writes alone.
    if (!outcome.GoesOn() || outcome.step == Step::kRoom || outcome.step == Step::kPurge ||
        outcome.step >= Step::kExtraction) {
        Flush();
    }
}

void RunLog::Flush() {
    if (!pending_.empty()) {
        AppendToLog(path_, pending_, kRunLogLimit);
        pending_.clear();
    }
}

}  // namespace app
