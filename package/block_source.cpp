#include "package/block_source.h"

#include <new>

#include "package/block_codec.h"
#include "package/layout.h"

BlockVerdict DecodeBlock(block_codec::Inflater& inflater, const uint8_t* input,
                         uint32_t compressedSize, uint32_t uncompressedSize, uint8_t* output) {
    BlockVerdict verdict;
    const block_codec::InflateResult result =
        inflater.Inflate(input, compressedSize, output, kPackageWorkBufferSize, &verdict.length);
    if (result == block_codec::InflateResult::kOutOfMemory) {
        verdict.fault = PackageFault::kOutOfMemory;
        return verdict;
    }
    if (result != block_codec::InflateResult::kOk) {
        verdict.fault = PackageFault::kInflate;
        verdict.expected = uncompressedSize;
        return verdict;
    }
    if (verdict.length != uncompressedSize) {
        verdict.fault = PackageFault::kSizeMismatch;
        verdict.expected = uncompressedSize;
        verdict.actual = verdict.length;
        return verdict;
    }
    verdict.crc = block_codec::Crc32(0, output, verdict.length);
    return verdict;
}

BlockVerdict ReadBlock(ByteSource& reader, int64_t* position, const PackageBlock& block,
                       uint8_t* input) {
    BlockVerdict verdict;
    if (block.compressedSize > kPackageMaxCompressedBlock) {
        verdict.fault = PackageFault::kShortRead;
        verdict.expected = block.compressedSize;
        verdict.actual = kPackageMaxCompressedBlock;
        return verdict;
    }
    const uint32_t got = reader.ReadAt(*position, input, block.compressedSize);
    *position += got;
    if (got < block.compressedSize) {
        verdict.fault = PackageFault::kShortRead;
        verdict.expected = block.compressedSize;
        verdict.actual = got;
    }
    return verdict;
}

bool ReadLocalName(ByteSource& reader, int64_t start, uint16_t length, PackageName& name) {
    if (length == 0 || length > kPackageMaxNameLength || start < length) {
        return false;
    }
    if (reader.ReadAt(start - length, name.text, length) != length) {
        return false;
    }
    name.text[length] = 0;
    name.length = length;
    return true;
}

SerialBlocks::SerialBlocks(ByteSource& reader, std::span<const EntryData> run)
    : reader_(reader),
      run_(run),
      input_(new uint8_t[kPackageMaxCompressedBlock]),
      output_(new uint8_t[kPackageWorkBufferSize]) {
    if (!inflater_.Ready()) {
        throw std::bad_alloc();
    }
}

int32_t SerialBlocks::NextEntry() {
    if (next_ >= run_.size()) {
        return -1;
    }
    entry_ = &run_[next_++];
    block_ = 0;
    position_ = entry_->start;
    reader_.ReadAheadTo(entry_->aheadEnd);
    localNamed_ = ReadLocalName(reader_, entry_->start, entry_->nameLength, localName_);
    return entry_->start < 0 ? -1 : 0;
}

DecodedBlock SerialBlocks::NextBlock() {
    DecodedBlock decoded;
    if (entry_ == nullptr || block_ >= entry_->blocks.size()) {
        decoded.fault = PackageFault::kShortRead;  // asked past the entry: a caller's mistake
        return decoded;
    }
    const PackageBlock& block = entry_->blocks[block_++];
    BlockVerdict verdict = ReadBlock(reader_, &position_, block, input_.get());
    if (verdict.fault == PackageFault::kNone) {
        verdict = DecodeBlock(inflater_, input_.get(), block.compressedSize, block.uncompressedSize,
                              output_.get());
    }
    decoded.fault = verdict.fault;
    decoded.expected = verdict.expected;
    decoded.actual = verdict.actual;
    decoded.data = output_.get();
    decoded.length = verdict.length;
    decoded.crc = verdict.crc;
    return decoded;
}
