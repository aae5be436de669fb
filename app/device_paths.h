// The paths and names on the device that the installer works with.
#pragma once

#include <cstddef>

namespace app {

inline constexpr const char16_t* kPackagePath = u"\\SDMMC\\VORIZ.QZP";
inline constexpr const char16_t* kFlashVolume = u"\\ResidentFlash2\\";
inline constexpr const char16_t* kInstalledRecordPath = u"\\ResidentFlash2\\VORIZ\\index.ini";
inline constexpr const char16_t* kCardSettingsPath = u"\\SDMMC\\kvupdate.ini";
// The keys a device trusts, in its read-only system folder, and the package's signature.
inline constexpr const char16_t* kTrustedKeysPath = u"\\Windows\\qzpupdate.pub";
inline constexpr const char16_t* kSignaturePath = u"\\SDMMC\\VORIZ.QZP.minisig";
// The manifest entry of a package, matched without regard to letter case.
inline constexpr const char16_t* kManifestName = u"VORIZ\\INDEX.INI";

// Path and text buffers: 260 UTF-16 units with the terminator.
inline constexpr std::size_t kTextUnits = 260;

}  // namespace app
