// The version gate's decision and the settings it is made from.
#include "app/update_decision.h"

#include <functional>

#include "app/step_outcome.h"
#include "ini/ini_document.h"
#include "ini/ini_load.h"
#include "ini/ini_table.h"
#include "platform/text.h"
#include "platform/volume.h"

namespace app {
namespace {

constexpr std::size_t kValueUnits = 260;

std::u16string ReadString(IniDocument* document, const char16_t* section, const char16_t* key) {
    char16_t value[kValueUnits] = {};
    IniGetString(document, section, key, value);
    value[kValueUnits - 1] = 0;
    return value;
}

void ReadManifestValues(IniDocument* manifest, ManifestValues& values) {
    values = ManifestValues{};
    values.version = ReadString(manifest, u"Config", u"SoftwareVersion");
    IniGetInt(manifest, u"UpdateInfo", u"IsPatch", &values.isPatch);
    char16_t stored[kValueUnits] = {};
    if (IniGetString(manifest, u"UpdateInfo", u"IsPatch", stored) == 0) {
        values.isPatchText = stored;
    }
    values.oldVersion = ReadString(manifest, u"UpdateInfo", u"oldVersion");
    IniGetInt(manifest, u"UpdateInfo", u"AllowDowngrade", &values.allowDowngrade);
}

// A manifest is read like the other settings the device must read, up to
// kIniMaxWantedFileBytes, keeping only the values above.
bool ReadManifest(const std::function<IniDocument*(IniTable* wanted)>& open,
                  ManifestValues& values) {
    IniTable* wanted = IniTableCreate(0);
    IniTableSetString(wanted, u"Config", u"SoftwareVersion", u"");
    for (const char16_t* key : {u"IsPatch", u"oldVersion", u"AllowDowngrade"}) {
        IniTableSetString(wanted, u"UpdateInfo", key, u"");
    }
    IniDocument* manifest = wanted != nullptr ? open(wanted) : nullptr;
    if (manifest != nullptr) {
        ReadManifestValues(manifest, values);
    }
    IniTableFree(wanted);
    IniClose(manifest);
    return manifest != nullptr;
}

}  // namespace

namespace {

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// The next run of `text` from `at`: all digits or no digit at all.
std::u16string_view NextRun(std::u16string_view text, std::size_t& at) {
    const std::size_t start = at;
    const bool digits = IsDigit(text[at]);
    while (at < text.size() && IsDigit(text[at]) == digits) {
        ++at;
    }
    return text.substr(start, at - start);
}

int CompareNumbers(std::u16string_view a, std::u16string_view b) {
    while (a.size() > 1 && a.front() == u'0') {
        a.remove_prefix(1);
    }
    while (b.size() > 1 && b.front() == u'0') {
        b.remove_prefix(1);
    }
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

int CompareText(std::u16string_view a, std::u16string_view b) {
    const std::u16string x = platform::FoldedAscii(a);
    const std::u16string y = platform::FoldedAscii(b);
    return x < y ? -1 : (x == y ? 0 : 1);
}

// Whether what is left of a version from `at` on adds nothing: zeros and separators only.
bool OnlyZerosLeft(std::u16string_view text, std::size_t at) {
    for (; at < text.size(); ++at) {
        const char16_t c = text[at];
        if (c != u'0' && c != u'.' && c != u'-' && c != u'_' && c != u' ') {
            return false;
        }
    }
    return true;
}

}  // namespace

int CompareVersions(std::u16string_view a, std::u16string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const std::u16string_view x = NextRun(a, i);
        const std::u16string_view y = NextRun(b, j);
        const bool xDigits = IsDigit(x.front());
        const bool yDigits = IsDigit(y.front());
        const int order = xDigits != yDigits ? (xDigits ? -1 : 1)
                          : xDigits          ? CompareNumbers(x, y)
                                             : CompareText(x, y);
        if (order != 0) {
            return order;
        }
    }
    if (OnlyZerosLeft(a, i) && OnlyZerosLeft(b, j)) {
        return 0;
    }
    return i < a.size() ? 1 : -1;
}

bool IsOrderedVersion(std::u16string_view version) {
    for (const char16_t c : version) {
        if (IsDigit(c)) {
            return true;
        }
    }
    return false;
}

UpdateDecision DecideUpdate(const UpdateFacts& facts) {
    UpdateDecision decision;
    decision.installedVersion = facts.installedVersion.empty() ? std::u16string(kUndetectedVersion)
                                                               : facts.installedVersion;
    if (facts.isPatch != 0) {
        if (platform::EqualsIgnoringAsciiCase(facts.oldVersion, decision.installedVersion)) {
            decision.kind = UpdateKind::kPatch;
        } else {
            decision.kind = UpdateKind::kRefusePatchMismatch;
            decision.refusalText = PatchMismatchText(facts.oldVersion);
            decision.refusalCaption = kPatchMismatchCaption;
            return decision;
        }
    }
    // A device that installs only signed packages never goes back to an older one, unless the
    // signed manifest says so.
    if (facts.checksSignatures && facts.allowDowngrade == 0 && facts.recordFound &&
        IsOrderedVersion(facts.packageVersion) && IsOrderedVersion(facts.installedVersion) &&
        CompareVersions(facts.packageVersion, facts.installedVersion) < 0) {
        decision.kind = UpdateKind::kRefuseDowngrade;
        decision.refusalText = DowngradeText(facts.packageVersion, facts.installedVersion);
        return decision;
    }
    if (facts.isPatch != 0) {
        return decision;
    }
    decision.kind = facts.recordFound && facts.showUpdateTips != 0 ? UpdateKind::kFullAsks
                                                                   : UpdateKind::kFullNoQuestion;
    return decision;
}

bool ReadRecordVersion(const char16_t* path, std::u16string& version, std::string* unreadable) {
    IniDocument* record = IniOpenKeys(path, u"Config", {u"SoftwareVersion"});
    if (record == nullptr) {
        uint64_t size = 0;
        if (unreadable != nullptr && platform::GetFileSize(path, size)) {
            *unreadable = size > kIniMaxWantedFileBytes
                              ? "larger than " + std::to_string(kIniMaxWantedFileBytes) + " bytes"
                              : "no UTF-16 settings file, or cannot be read";
        }
        return false;
    }
    version = ReadString(record, u"Config", u"SoftwareVersion");
    IniClose(record);
    return true;
}

bool ReadManifestBytes(std::span<const uint8_t> bytes, ManifestValues& values) {
    return ReadManifest([bytes](IniTable* wanted) { return IniOpenBytes(bytes, wanted); }, values);
}

bool ReadManifestFile(const char16_t* path, ManifestValues& values) {
    return ReadManifest([path](IniTable* wanted) { return IniOpenWanted(path, wanted); }, values);
}

int32_t ReadShowUpdateTips(const char16_t* path) {
    int32_t showTips = 1;
    IniDocument* settings = IniOpenKeys(path, u"Config", {u"IsShowUpdateTips"});
    if (settings != nullptr) {
        IniGetInt(settings, u"Config", u"IsShowUpdateTips", &showTips);
        IniClose(settings);
    }
    return showTips;
}

}  // namespace app
