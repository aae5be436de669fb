// Whole-file replacement through a scratch file beside the target, on either backend.
#include "platform/replace.h"

#include <random>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"

namespace platform {
namespace {

bool IsSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

// The longest prefix of `base` within `room` units, without a final dot.
std::u16string_view ScratchName(std::u16string_view base, std::size_t room) {
    std::size_t length = room < base.size() ? room : base.size();
    while (length > 0 && base[length - 1] == u'.') {
        --length;
    }
    return base.substr(0, length);
}

// A record holds one scratch path in UTF-8, ended by a line feed: one cut short lacks it.
constexpr std::size_t kRecordBytes = 4 * kDevicePathUnits + 1;

void Record(const char16_t* record, const std::u16string& scratch) {
    const std::string text = Utf16ToUtf8(scratch) + "\n";
    std::FILE* stream = OpenStream(record, u"wb");
    if (stream != nullptr) {
        WriteStream(stream, text.data(), text.size());
        CommitStream(stream);
        std::fclose(stream);
    }
}

}  // namespace

bool ReadScratchRecord(const char16_t* record, std::u16string& scratch) {
    scratch.clear();
    std::FILE* stream = record != nullptr ? OpenStream(record, u"rb") : nullptr;
    if (stream == nullptr) {
        return false;
    }
    char text[kRecordBytes + 1];
    const std::size_t got = std::fread(text, 1, sizeof text, stream);
    std::fclose(stream);
    if (got < 2 || got > kRecordBytes || text[got - 1] != '\n') {
        return false;
    }
    const std::string_view path(text, got - 1);
    if (path.find_first_of(std::string_view("\0\n", 2)) != std::string_view::npos) {
        return false;
    }
    scratch = Utf8ToUtf16(path);
    return !scratch.empty();
}

ScratchRule ScratchRule::OfThisRun() {
    static const std::u16string base = [] {
        std::random_device random;
        const unsigned number = random();
        std::u16string text = u"~qzp";
        for (int shift = 28; shift >= 0; shift -= 4) {
            text += u"0123456789abcdef"[(number >> shift) & 0xF];
        }
        return text + u".tmp";
    }();
    return ScratchRule{base};
}

bool ScratchPath(std::u16string_view target, const ScratchRule& rule, std::u16string& scratch) {
    scratch.clear();
    if (target.empty() || IsSeparator(target.back())) {
        return false;
    }
    std::size_t directory = target.size();  // the directory part, its separator included
    while (directory > 0 && !IsSeparator(target[directory - 1])) {
        --directory;
    }
    std::size_t room = rule.base.size();
    if (rule.maxUnits != 0) {
        const auto counted = static_cast<std::ptrdiff_t>(target.size()) + rule.limitShift;
        const auto limit = static_cast<std::ptrdiff_t>(rule.maxUnits);
        const auto left = limit - (static_cast<std::ptrdiff_t>(directory) + rule.limitShift);
        if (counted <= 0 || counted > limit || left <= 0) {
            return false;
        }
        room = static_cast<std::size_t>(left);
    }
    const std::u16string_view name = ScratchName(rule.base, room);
    if (name.empty()) {
        return false;
    }
    scratch.assign(target.substr(0, directory));
    scratch.append(name);
    return true;
}

bool IsScratchLevel(std::u16string_view level, std::u16string_view base) {
    return !level.empty() && level.size() <= base.size() && level.back() != u'.' &&
           EqualsIgnoringAsciiCase(level, base.substr(0, level.size()));
}

ReplaceResult ReplaceFile(const char16_t* target, const ScratchRule& rule,
                          const std::function<bool(std::FILE*)>& write,
                          const std::function<bool(const char16_t*)>& accept) {
    std::u16string scratch;
    if (target == nullptr || !ScratchPath(target, rule, scratch)) {
        return ReplaceResult::kNoScratchPath;
    }
    if (rule.record == nullptr) {
        // Whatever stands at the scratch name is a leftover of ours (no stored name may take it):
        // removed, never written through. A missing one is no failure.
        RemoveFile(scratch.c_str());
    } else if (GetAttributes(scratch.c_str()) == kInvalidFileAttributes) {
        Record(rule.record, scratch);
    }
    ResetFileError();
    std::FILE* stream = OpenStream(scratch.c_str(), u"wbx");
    if (stream == nullptr) {
        return ReplaceResult::kCreate;
    }
    ReplaceResult result = ReplaceResult::kReplaced;
    if (!write(stream)) {
        result = ReplaceResult::kWrite;
    } else if (!CommitStream(stream)) {
        result = ReplaceResult::kCommit;
    }
    if (std::fclose(stream) != 0 && result == ReplaceResult::kReplaced) {
        result = ReplaceResult::kCommit;
    }
    if (result == ReplaceResult::kReplaced && accept && !accept(scratch.c_str())) {
        result = ReplaceResult::kWrite;
    }
    if (result == ReplaceResult::kReplaced && !RenameReplacing(scratch.c_str(), target)) {
        result = ReplaceResult::kRename;
    }
    if (result != ReplaceResult::kReplaced) {
        RemoveFile(scratch.c_str());  // succeeds, so the failed step's reason stays
    }
    return result;
}

ReplaceResult ReplaceFileWith(const char16_t* target, const ScratchRule& rule, const void* data,
                              std::size_t size, const std::function<bool(std::FILE*)>& prepare) {
    return ReplaceFile(target, rule, [&](std::FILE* stream) {
        return (!prepare || prepare(stream)) && WriteStream(stream, data, size) == size;
    });
}

ReplaceResult ReplaceWithCopy(const char16_t* source, const char16_t* target,
                              const ScratchRule& rule) {
    std::FILE* in = OpenStream(source, u"rb");
    if (in == nullptr) {
        return ReplaceResult::kWrite;
    }
    const ReplaceResult result = ReplaceFile(target, rule, [in](std::FILE* out) {
        std::vector<unsigned char> buffer(64 * 1024);
        for (;;) {
            const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
            if (got > 0 && WriteStream(out, buffer.data(), got) != got) {
                return false;
            }
            if (got < buffer.size()) {
                return std::ferror(in) == 0;
            }
        }
    });
    std::fclose(in);
    return result;
}

}  // namespace platform
