#include "package/name_rules.h"

#include <algorithm>
#include <array>

#include "package/layout.h"
#include "platform/file.h"
#include "platform/text.h"

namespace {

bool IsSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

bool IsDeviceName(std::u16string_view level) {
    const std::u16string_view name = level.substr(0, level.find(u'.'));
    if (name.size() != 3 && name.size() != 4) {
        return false;
    }
    const std::u16string stem = platform::FoldedAscii(name);
    for (const char16_t* device : {u"con", u"prn", u"aux", u"nul"}) {
        if (stem == device) {
            return true;
        }
    }
    return stem.size() == 4 && (stem.starts_with(u"com") || stem.starts_with(u"lpt")) &&
           stem[3] >= u'1' && stem[3] <= u'9';
}

// What each ASCII unit is to the level rules; every unit from 0x80 up is plain.
constexpr uint8_t kPlain = 0, kDotOrBlank = 1, kForbidden = 2, kControl = 3, kSeparator = 4;

constexpr auto kCharClasses = [] {
    std::array<uint8_t, 0x80> classes{};
    for (std::size_t c = 0; c < 0x20; ++c) {
        classes[c] = kControl;
    }
    classes['.'] = classes[' '] = kDotOrBlank;
    classes['\\'] = classes['/'] = kSeparator;
    for (const char c : std::string_view("<>:\"|?*")) {
        classes[static_cast<unsigned char>(c)] = kForbidden;
    }
    return classes;
}();

uint8_t ClassOf(char16_t c) {
    return c < kCharClasses.size() ? kCharClasses[c] : kPlain;
}

// What the units of one level held, found as the name is split (CheckEntryName).
struct LevelUnits {
    bool dotsAndBlanks = true;
    bool badCharacter = false;
    std::size_t stem = std::u16string_view::npos;  // units before its first dot
};

// The level's fault after its units passed without a control character; the faults are told in
// the order of the rules.
NameFault LevelFault(std::u16string_view level, bool first, const LevelUnits& units) {
    if (level.empty()) {
        return NameFault::kEmptyLevel;
    }
    if (units.dotsAndBlanks) {
        return NameFault::kDotLevel;  // Windows reduces ". ." or "..." to "." or ".."
    }
    if (first && level.size() >= 2 && level[1] == u':') {
        return NameFault::kDrivePrefix;
    }
    if (units.badCharacter) {
        return NameFault::kBadCharacter;
    }
    if (level.back() == u'.' || level.back() == u' ') {
        return NameFault::kTrailingDotOrBlank;
    }
    const std::size_t stem = std::min(units.stem, level.size());
    return (stem == 3 || stem == 4) && IsDeviceName(level) ? NameFault::kDeviceName
                                                           : NameFault::kNone;
}

}  // namespace

const char* NameFaultText(NameFault fault) {
    switch (fault) {
        case NameFault::kNone:
            return "no fault";
        case NameFault::kNotText:
            return "name is not text of at most 259 bytes";
        case NameFault::kControlCharacter:
            return "name holds a NUL or another control character";
        case NameFault::kEmpty:
            return "empty name";
        case NameFault::kEmptyLevel:
            return "name has an empty level (a doubled separator)";
        case NameFault::kTrailingSeparator:
            return "a file name cannot end with a backslash";
        case NameFault::kDotLevel:
            return "name has a '.' or '..' level (dots and blanks only), which could lead outside "
                   "the target";
        case NameFault::kDrivePrefix:
            return "name has a drive prefix, which could lead outside the target";
        case NameFault::kBadCharacter:
            return "name holds a character the device does not allow in names (<>:\"|?*)";
        case NameFault::kTrailingDotOrBlank:
            return "a level of the name ends with a dot or a blank, which the device drops";
        case NameFault::kDeviceName:
            return "a level of the name is a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
    }
    return "unknown fault";
}

NameFault CheckEntryName(std::u16string_view name, bool directory, NameUse use) {
    std::size_t start = 0;
    while (start < name.size() && name[start] == u'\\') {
        ++start;
    }
    if (std::all_of(name.begin(), name.end(), IsSeparator)) {
        return NameFault::kEmpty;
    }
    std::size_t end = name.size();
    if (IsSeparator(name[end - 1])) {
        if (!directory || name[end - 1] != u'\\') {
            return directory ? NameFault::kEmptyLevel : NameFault::kTrailingSeparator;
        }
        --end;
    }
    const std::u16string_view levels = name.substr(start, end - start);
    // One pass over the units for every rule (names are checked on every pass over a package):
    // a level is judged at the separator after it, so the first level at fault is told.
    std::size_t from = 0;
    LevelUnits units;
    for (std::size_t i = 0; i <= levels.size(); ++i) {
        const uint8_t kind = i == levels.size() ? kSeparator : ClassOf(levels[i]);
        if (kind == kSeparator) {
            const std::u16string_view level = levels.substr(from, i - from);
            // Extraction skips an empty piece between two `\`; one next to a `/` stays a level.
            const bool skipped = use == NameUse::kRead && level.empty() && from > 0 &&
                                 i < levels.size() && levels[from - 1] == u'\\' &&
                                 levels[i] == u'\\';
            if (const NameFault fault =
                    skipped ? NameFault::kNone : LevelFault(level, from == 0, units);
                fault != NameFault::kNone) {
                return fault;
            }
            from = i + 1;
            units = LevelUnits();
            continue;
        }
        if (kind == kControl) {
            return NameFault::kControlCharacter;
        }
        if (levels[i] == u'.' && units.stem == std::u16string_view::npos) {
            units.stem = i - from;
        }
        units.dotsAndBlanks = units.dotsAndBlanks && kind == kDotOrBlank;
        units.badCharacter = units.badCharacter || kind == kForbidden;
    }
    return NameFault::kNone;
}

NameFault CheckStoredName(std::string_view stored, bool directory, std::u16string* wide,
                          NameUse use) {
    if (stored.size() > kPackageMaxNameLength) {
        return NameFault::kNotText;
    }
    for (const char c : stored) {
        if (static_cast<unsigned char>(c) < 0x20) {
            return NameFault::kControlCharacter;
        }
    }
    // Strictly: bytes that are no text in the code page (a cut sequence included) would become
    // replacement characters, and two such names one path, or a trail byte 0x5C a separator.
    std::u16string local;
    std::u16string& converted = wide != nullptr ? *wide : local;
    if (!platform::FromCodePage(stored, converted) || converted.size() >= kPackagePathCapacity) {
        converted.clear();
        return NameFault::kNotText;
    }
    return CheckEntryName(converted, directory, use);
}
