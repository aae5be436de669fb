// Where the update session reads the device's state. The default reads the device's own files;
// `qzp check` states some of it instead. Nothing here writes.
#pragma once

#include <cstdint>
#include <string>

namespace app {

class DeviceState {
  public:
    virtual ~DeviceState() = default;
    // False when the device holds no trusted keys: it installs without looking at signatures.
    virtual bool ChecksSignatures();
    // The key file's and the signature file's text (at most the parsers' limits + 1 bytes);
    // false when the file cannot be read.
    virtual bool ReadTrustedKeys(std::string& text);
    virtual bool ReadSignature(std::string& text);
    // Told what the package's manifest asks for before the installed version is read: whether it
    // is a patch, and the version a patch goes over. The default device reads its record anyway.
    virtual void PackageAsks(bool /*isPatch*/, const std::u16string& /*oldVersion*/) {}
    // The installed version record's SoftwareVersion; false when there is no record, or one that
    // cannot be read, and then `unreadable` says why.
    virtual bool ReadInstalledVersion(std::u16string& version, std::string& unreadable);
    // The card settings' IsShowUpdateTips (1 when missing).
    virtual int32_t ShowUpdateTips();
    // The flash volume's tree as the plan sees it: the target directory, or null to plan the
    // names alone (the tree unknown).
    virtual const char16_t* PlanTarget();
    // Free space and allocation unit of the flash volume, and for a full update what the purge
    // frees; false when not known (the room step then lets the extraction decide).
    virtual bool VolumeRoom(bool full, uint64_t& available, uint64_t& unitBytes);
    // The size of an existing file the plan replaces (0 when unknown).
    virtual uint64_t InstalledFileSize(const std::u16string& path);
};

}  // namespace app
