// The version gate's decision, without any dialog: from the manifest's values, the installed
// version record and the card settings, whether an update runs and how. The installer acts on it
// with its dialogs; a tool can print it.
//
// Versions are compared for equality without regard to ASCII letter case; they are ordered
// (CompareVersions) only on a device that holds trusted keys, which refuses a signed package older
// than what it has installed unless the manifest allows the downgrade. The reading helpers return
// what the installer reads from the settings files: each opens the file, reads and closes it;
// nothing is written.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace app {

// The installed version that stands for a missing or empty record.
inline constexpr char16_t kUndetectedVersion[] = u"undetected";

struct UpdateFacts {
    // From the package's manifest (all empty / 0 without a manifest).
    std::u16string packageVersion;  // Config / SoftwareVersion
    int32_t isPatch = 0;            // UpdateInfo / IsPatch, nonzero = patch
    std::u16string oldVersion;      // UpdateInfo / oldVersion: the installed version a patch needs
    // From the device.
    bool recordFound = false;         // the installed version record could be opened
    std::u16string installedVersion;  // its Config / SoftwareVersion, empty when missing
    int32_t showUpdateTips = 1;       // the card settings' Config / IsShowUpdateTips (default 1)
    // UpdateInfo / AllowDowngrade of the manifest: nonzero lets a signed package go back.
    int32_t allowDowngrade = 0;
    // The device holds trusted keys, so the package was signed for it and versions are ordered.
    bool checksSignatures = false;
};

enum class UpdateKind {
    kRefusePatchMismatch,  // a patch made for another installed version: nothing is changed
    kRefuseDowngrade,      // on a device with trusted keys, older than the installed version
    kPatch,                // unpacked over the installed tree: no question, no purge
    kFullAsks,             // a full update after the user's confirmation, then the purge
    kFullNoQuestion,       // a full update without a question (no record, or tips switched off)
};

struct UpdateDecision {
    UpdateKind kind = UpdateKind::kFullNoQuestion;
    // The installed version as shown and compared: the record's, or "undetected".
    std::u16string installedVersion;
    // kRefusePatchMismatch: the message box's exact text and caption (error icon).
    // kRefuseDowngrade: the standard box's text (no caption of its own).
    std::u16string refusalText;
    std::u16string refusalCaption;
};

UpdateDecision DecideUpdate(const UpdateFacts& facts);

// The order of versions: each is split into runs of digits and runs of other characters; digit
// runs compare as numbers (any length), other runs as text without regard to ASCII letter case, a
// digit run before any other run at the same place. When one version ends, the rest of the
// other decides: nothing but zeros and the separators `.`, `-`, `_` and blanks compares equal
// (2.0 = 2.0.0), anything else makes it the later one (1.0 < 1.0-rc1 < 1.0.1). Negative, 0 or
// positive like strcmp.
int CompareVersions(std::u16string_view a, std::u16string_view b);

// True when `version` holds a digit: only such versions are ordered (`undetected` or an empty
// version never blocks an update).
bool IsOrderedVersion(std::u16string_view version);

// Config / SoftwareVersion of a version record (the installed one, or a manifest's copy) into
// `version` (empty when the key is missing); a record of any size up to kIniMaxWantedFileBytes is
// read. False when the file cannot be opened as a settings file; when it exists, `*unreadable`
// (may be null) then says why.
bool ReadRecordVersion(const char16_t* path, std::u16string& version,
                       std::string* unreadable = nullptr);

// The manifest's values, as the device reads them; missing keys leave the defaults.
struct ManifestValues {
    std::u16string version;                     // Config / SoftwareVersion
    int32_t isPatch = 0;                        // UpdateInfo / IsPatch, nonzero = patch
    std::optional<std::u16string> isPatchText;  // the same as stored, when present
    std::u16string oldVersion;                  // UpdateInfo / oldVersion
    int32_t allowDowngrade = 0;                 // UpdateInfo / AllowDowngrade
};

// The manifest's values from its bytes (the device: what the check kept) or from the file at
// `path` (a tool: a tree about to be packed); false when they are not a settings file.
bool ReadManifestBytes(std::span<const uint8_t> bytes, ManifestValues& values);
bool ReadManifestFile(const char16_t* path, ManifestValues& values);

// IsShowUpdateTips of the card settings at `path`; 1 when the file or the key is missing.
int32_t ReadShowUpdateTips(const char16_t* path);

}  // namespace app
