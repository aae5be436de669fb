// The paths and names on the device that the installer works with.
#pragma once

#include <cstddef>

namespace app {

inline constexpr const char16_t* kPackagePath = u"\\SDMMC\\VORIZ.QZP";
inline constexpr const char16_t* kFlashVolume = u"\\ResidentFlash2\\";
inline constexpr const char16_t* kInstalledRecordPath = u"\\ResidentFlash2\\VORIZ\\index.ini";
inline constexpr const char16_t* kCardSettingsPath = u"\\SDMMC\\kvupdate.ini";
// What a full update's purge deletes: everything below the flash volume, not the volume itself.
inline constexpr const char16_t* kFlashVolumeContents = u"\\ResidentFlash2\\*.*";
// The card's power-off logo, copied over the one the update brought.
inline constexpr const char16_t* kLogoSource = u"\\SDMMC\\PowerOffLogo.bmp";
inline constexpr const char16_t* kLogoTarget = u"\\Residentflash2\\PowerOffLogo.bmp";
// The technician's log (run_log.h).
inline constexpr const char16_t* kRunLogPath = u"\\SDMMC\\qzpupdate.log";
// Where the installer records the scratch file it makes on the flash volume before making it, so
// that the next run removes one a power loss left (platform::ScratchRule::record).
inline constexpr const char16_t* kScratchRecordPath = u"\\SDMMC\\qzpupdate.scr";
// The vendor's system library, which restarts the device.
inline constexpr const char16_t* kVendorLibrary = u"velmorin.dll";
// The installer's own named mutex, held for its whole run: one installer at a time.
inline constexpr const char16_t* kInstallerMutexName = u"QzpUpdateInstaller";
// The keys a device trusts, in its read-only system folder, and the package's signature.
inline constexpr const char16_t* kTrustedKeysPath = u"\\Windows\\qzpupdate.pub";
inline constexpr const char16_t* kSignaturePath = u"\\SDMMC\\VORIZ.QZP.minisig";

// Path and text buffers: 260 UTF-16 units with the terminator.
inline constexpr std::size_t kTextUnits = 260;

}  // namespace app
