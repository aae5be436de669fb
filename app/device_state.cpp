// The device's own state, read from its files.
#include "app/device_state.h"

#include "app/device_paths.h"
#include "app/update_decision.h"
#include "platform/file.h"
#include "platform/volume.h"
#include "signature/signature_files.h"

namespace app {

bool DeviceState::ChecksSignatures() {
    return platform::GetAttributes(kTrustedKeysPath) != platform::kInvalidFileAttributes;
}

bool DeviceState::ReadTrustedKeys(std::string& text) {
    return ReadSmallFile(kTrustedKeysPath, kMaxKeyFileBytes, &text) == 0;
}

bool DeviceState::ReadSignature(std::string& text) {
    return ReadSmallFile(kSignaturePath, kMaxSignatureFileBytes, &text) == 0;
}

bool DeviceState::ReadInstalledVersion(std::u16string& version, std::string& unreadable) {
    return ReadRecordVersion(kInstalledRecordPath, version, &unreadable);
}

int32_t DeviceState::ShowUpdateTips() {
    return ReadShowUpdateTips(kCardSettingsPath);
}

const char16_t* DeviceState::PlanTarget() {
    return kFlashVolume;
}

bool DeviceState::VolumeRoom(bool full, uint64_t& available, uint64_t& unitBytes) {
    platform::VolumeSpace space;
    if (!platform::GetVolumeSpace(kFlashVolume, space)) {
        return false;
    }
    unitBytes = space.unitBytes;
    available = space.freeBytes;
    uint64_t used = 0;
    if (full && platform::MeasureTree(kFlashVolume, unitBytes, used)) {
        available += used;
    }
    return true;
}

uint64_t DeviceState::InstalledFileSize(const std::u16string& path) {
    uint64_t size = 0;
    return platform::GetFileSize(path.c_str(), size) ? size : 0;
}

}  // namespace app
