// The paths and names on the device that the installer works with.
#pragma once

#include <cstddef>

#include "package/install_plan.h"

namespace app {

inline constexpr const char16_t* kPackagePath = u"\\SDMMC\\VORIZ.QZP";
inline constexpr const char16_t* kFlashVolume = u"\\ResidentFlash2\\";
inline constexpr const char16_t* kInstalledRecordPath = u"\\ResidentFlash2\\VORIZ\\index.ini";
inline constexpr const char16_t* kCardSettingsPath = u"\\SDMMC\\kvupdate.ini";
// The manifest entry of a package, matched without regard to letter case (install_plan.h).
inline constexpr const char16_t* kManifestName = kPackageManifestName;
// The installer's own named mutex, held for its whole run: one installer at a time.
inline constexpr const char16_t* kInstallerMutexName = u"QzpUpdateInstaller";

// Path and text buffers: 260 UTF-16 units with the terminator.
inline constexpr std::size_t kTextUnits = 260;

}  // namespace app
