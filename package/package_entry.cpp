// Decoding of one directory record into a PackageEntry, and its fixed part back into bytes.
#include "package/package_entry.h"

void PackageEntry::ParseDirectoryRecord(const uint8_t* record) {
    versionMadeBy_ = ReadLe16(record + 4);
    versionNeeded_ = ReadLe16(record + 6);
    flags_ = ReadLe16(record + 8);
    method_ = ReadLe16(record + 10);
    reserved1_ = ReadLe16(record + 12);
    reserved2_ = ReadLe16(record + 14);
    crc_ = ReadLe32(record + 16);
    nameLength_ = ReadLe16(record + kDirectoryNameLengthOffset);
}

void PackageEntry::WriteDirectoryRecord(uint8_t* record) const {
    WriteLe32(record, kPackageDirectorySignature);
    WriteLe16(record + 4, versionMadeBy_);
    WriteLe16(record + 6, versionNeeded_);
    WriteLe16(record + 8, flags_);
    WriteLe16(record + 10, method_);
    WriteLe16(record + 12, reserved1_);
    WriteLe16(record + 14, reserved2_);
    WriteLe32(record + 16, crc_);
    WriteLe16(record + kDirectoryNameLengthOffset, nameLength_);
    WriteLe32(record + kDirectoryBlockCountOffset, blockCount_);
}

int32_t PackageEntry::SetBlocks(uint32_t first, uint32_t count) {
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
    const PackageBlock* rows = names_->blockTable() + first;
    for (uint32_t i = 0; i < count; ++i) {
        compressed += rows[i].compressedSize;
        uncompressed += rows[i].uncompressedSize;
    }
    if (compressed > UINT32_MAX || uncompressed > UINT32_MAX) {
        return -1;
    }
    firstBlock_ = first;
    blockCount_ = count;
    compressedTotal_ = static_cast<uint32_t>(compressed);
    uncompressedTotal_ = static_cast<uint32_t>(uncompressed);
    return 0;
}

int32_t PackageEntry::ReadName(PackageName& name) const {
    name.length = 0;
    name.text[0] = 0;
    if (names_ == nullptr) {
        return 0;
    }
    if (names_->ReadName(*this, name) != 0) {
        name.length = 0;
        name.text[0] = 0;
        return -1;
    }
    return 0;
}
