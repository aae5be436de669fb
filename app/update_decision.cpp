// The version gate's decision and the settings it is made from.
#include "app/update_decision.h"

#include "ini/ini_document.h"
#include "platform/text.h"

namespace app {
namespace {

constexpr std::size_t kValueUnits = 260;

std::u16string ReadString(IniDocument* document, const char16_t* section, const char16_t* key) {
    char16_t value[kValueUnits] = {};
    IniGetString(document, section, key, value);
    value[kValueUnits - 1] = 0;
    return value;
}

}  // namespace

UpdateDecision DecideUpdate(const UpdateFacts& facts) {
    UpdateDecision decision;
    decision.installedVersion = facts.installedVersion.empty() ? std::u16string(kUndetectedVersion)
                                                               : facts.installedVersion;
    if (facts.isPatch != 0) {
        if (platform::EqualsIgnoringAsciiCase(facts.oldVersion, decision.installedVersion)) {
            decision.kind = UpdateKind::kPatch;
        } else {
            decision.kind = UpdateKind::kRefusePatchMismatch;
            decision.refusalText =
                u"This Patch only for version:" + facts.oldVersion + u"\n Update fail!";
            decision.refusalCaption = u"Update Patch";
        }
        return decision;
    }
    decision.kind = facts.recordFound && facts.showUpdateTips != 0 ? UpdateKind::kFullAsks
                                                                   : UpdateKind::kFullNoQuestion;
    return decision;
}

bool ReadRecordVersion(const char16_t* path, std::u16string& version) {
    IniDocument* record = IniOpen(path);
    if (record == nullptr) {
        return false;
    }
    version = ReadString(record, u"Config", u"SoftwareVersion");
    IniClose(record);
    return true;
}

bool ReadManifestBytes(std::span<const uint8_t> bytes, UpdateFacts& facts) {
    IniDocument manifest{IniTableCreate(0), {}};
    if (manifest.table == nullptr) {
        return false;
    }
    const bool read = IniTableLoadBytes(bytes, manifest.table) == 1;
    if (read) {
        facts.packageVersion = ReadString(&manifest, u"Config", u"SoftwareVersion");
        IniGetInt(&manifest, u"UpdateInfo", u"IsPatch", &facts.isPatch);
        facts.oldVersion = ReadString(&manifest, u"UpdateInfo", u"oldVersion");
    }
    IniTableFree(manifest.table);
    return read;
}

int32_t ReadShowUpdateTips(const char16_t* path) {
    int32_t showTips = 1;
    IniDocument* settings = IniOpen(path);
    if (settings != nullptr) {
        IniGetInt(settings, u"Config", u"IsShowUpdateTips", &showTips);
        IniClose(settings);
    }
    return showTips;
}

}  // namespace app
