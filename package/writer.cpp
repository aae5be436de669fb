// PackageWriter: reads the sources in order, compresses their blocks on a pool of threads and
// writes the results in order, so that the package's bytes do not depend on the job count.
#include "package/writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <utility>

#include "package/install_plan.h"
#include "package/layout.h"
#include "package/name_rules.h"
#include "package/package_entry.h"
#include "package/work_ring.h"
#include "platform/file.h"
#include "platform/replace.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

constexpr std::size_t kLocalCrcOffset = 14;

// The package buffers at most this many compressed bytes of one entry before it writes the
// entry's local record; a bigger entry gets its CRC-32 patched into the record afterwards.
constexpr std::size_t kEntryBufferBytes = 1u << 20;
constexpr std::size_t kOutputBufferBytes = 1u << 20;
// More compression threads than this only cost memory (eight 32 KiB slots each).
constexpr unsigned kMaxJobs = 64;

void PutLe16(std::vector<uint8_t>& out, uint16_t value) {
    uint8_t bytes[2];
    WriteLe16(bytes, value);
    out.insert(out.end(), bytes, bytes + 2);
}

void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
    uint8_t bytes[4];
    WriteLe32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

std::string Thousands(uint64_t value) {
    std::string digits = std::to_string(value);
    for (std::ptrdiff_t i = static_cast<std::ptrdiff_t>(digits.size()) - 3; i > 0; i -= 3) {
        digits.insert(static_cast<std::size_t>(i), ",");
    }
    return digits;
}

// The name as the device's file system compares it: the wide name with ASCII letters folded and
// no trailing `\`. Folding the stored bytes would join two names of a double-byte code page
// whose second bytes are ASCII letters of another case.
std::u16string FoldedName(std::u16string_view name) {
    if (!name.empty() && name.back() == u'\\') {
        name.remove_suffix(1);
    }
    return platform::FoldedAscii(name);
}

// Why `name` cannot be stored, or nothing: the name rule every reader applies (name_rules.h).
// The name as the device converts it goes to `wide`.
std::string NameProblem(const std::string& name, bool directory, std::u16string& wide) {
    const NameFault fault = CheckStoredName(name, directory, &wide);
    if (fault == NameFault::kNotText && name.size() > kPackageMaxNameLength) {
        return "name is " + std::to_string(name.size()) + " bytes long (at most " +
               std::to_string(kPackageMaxNameLength) + ")";
    }
    return fault == NameFault::kNone ? std::string() : NameFaultText(fault);
}

// One unit of work in the ordered pipeline: a block of an entry's data, or the end of an entry.
struct Slot {
    enum class Kind { kBlock, kEndEntry } kind = Kind::kBlock;
    std::size_t item = 0;
    std::vector<uint8_t> input;
    uint32_t inputSize = 0;
    std::vector<uint8_t> output;
    uLongf outputSize = 0;
    uint32_t crc = 0;
    int result = Z_OK;
};

void CompressSlot(Slot& slot, int level) {
    slot.outputSize = static_cast<uLongf>(slot.output.size());
    slot.result =
        compress2(slot.output.data(), &slot.outputSize, slot.input.data(), slot.inputSize, level);
    slot.crc = static_cast<uint32_t>(crc32(0L, slot.input.data(), slot.inputSize));
}

// The compression ring: the writing thread fills blocks in sequence and consumes them in the same
// sequence; with N jobs the other N - 1 threads compress them in between.
class Pipeline : public WorkRing<Slot> {
  public:
    Pipeline(unsigned jobs, int level)
        : WorkRing(jobs, jobs <= 1 ? 1 : static_cast<std::size_t>(jobs) * 8,
                   [level](Slot& slot, uint32_t) { CompressSlot(slot, level); }) {
        for (Slot& slot : Slots()) {
            slot.input.resize(kPackageBlockSize);
            slot.output.resize(compressBound(kPackageBlockSize));
        }
    }

    // Hands the filled slot over: a block is compressed, the end of an entry is final.
    void Submit() {
        WorkRing::Submit(Next().kind == Slot::Kind::kBlock);
        Publish();
    }
};

// The package file being written: counts its bytes and refuses to reach the size limit.
class Output {
  public:
    // The stream's buffer is left uninitialised: a small package touches only its first pages.
    explicit Output(uint64_t limit) : limit_(limit), buffer_(new char[kOutputBufferBytes]) {}

    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Writes to `stream` (its owner closes it, before this object ends: the buffer is ours).
    void Attach(std::FILE* stream) {
        stream_ = stream;
        std::setvbuf(stream_, buffer_.get(), _IOFBF, kOutputBufferBytes);
    }

    // False (and nothing written) when the bytes would take the package to its limit.
    bool WouldExceed(uint64_t count) const { return offset_ + count > limit_; }

    bool Put(const void* data, std::size_t count) {
        if (count == 0) {
            return true;
        }
        if (platform::WriteStream(stream_, data, count) != count) {
            return false;
        }
        offset_ += count;
        return true;
    }

    // Overwrites four bytes already written at `at` and returns to the end.
    bool Patch32(uint64_t at, uint32_t value) {
        uint8_t bytes[4];
        WriteLe32(bytes, value);
        return std::fseek(stream_, static_cast<long>(at), SEEK_SET) == 0 &&
               platform::WriteStream(stream_, bytes, 4) == 4 &&
               std::fseek(stream_, static_cast<long>(offset_), SEEK_SET) == 0;
    }

    uint64_t Offset() const { return offset_; }

  private:
    const uint64_t limit_;
    std::unique_ptr<char[]> buffer_;
    std::FILE* stream_ = nullptr;
    uint64_t offset_ = 0;
};

// The entry whose blocks are being consumed, in package order.
struct OpenEntry {
    bool active = false;
    std::size_t item = 0;
    uint64_t recordOffset = 0;
    bool recordWritten = false;
    uint32_t crc = 0;
    std::vector<uint8_t> pending;  // compressed bytes not yet written
    std::vector<PackageBlock> blocks;
};

std::vector<uint8_t> LocalRecord(const std::string& name, uint32_t crc) {
    std::vector<uint8_t> record;
    record.reserve(kPackageLocalRecordSize + name.size());
    PutLe32(record, kPackageLocalSignature);
    PutLe16(record, kPackageVersion);
    PutLe16(record, 0);  // flags
    PutLe16(record, kPackageMethodDeflate);
    PutLe16(record, 0);  // reserved1
    PutLe16(record, 0);  // reserved2
    PutLe32(record, crc);
    PutLe16(record, static_cast<uint16_t>(name.size()));
    record.insert(record.end(), name.begin(), name.end());
    return record;
}

void AppendDirectoryRecord(std::vector<uint8_t>& directory, const std::string& name, uint32_t crc,
                           const std::vector<PackageBlock>& blocks) {
    PutLe32(directory, kPackageDirectorySignature);
    PutLe16(directory, kPackageVersion);  // versionMadeBy
    PutLe16(directory, kPackageVersion);  // versionNeeded
    PutLe16(directory, 0);                // flags
    PutLe16(directory, kPackageMethodDeflate);
    PutLe16(directory, 0);  // reserved1
    PutLe16(directory, 0);  // reserved2
    PutLe32(directory, crc);
    PutLe16(directory, static_cast<uint16_t>(name.size()));
    PutLe32(directory, static_cast<uint32_t>(blocks.size()));
    directory.insert(directory.end(), name.begin(), name.end());
    for (const PackageBlock& block : blocks) {
        PutLe32(directory, block.uncompressedSize);
        PutLe32(directory, block.compressedSize);
        PutLe32(directory, 0);  // reserved
    }
}

}  // namespace

PackageWriter::PackageWriter(PackOptions options) : options_(std::move(options)) {}

int32_t PackageWriter::Fail(int64_t item, std::string message) {
    errorItem_ = item;
    error_ = std::move(message);
    return -1;
}

int32_t PackageWriter::CheckItems(const std::vector<PackItem>& items) {
    if (options_.level < 0 || options_.level > 9) {
        return Fail(kNoItem,
                    "compression level " + std::to_string(options_.level) + " is outside 0-9");
    }
    const std::string& comment = options_.comment;
    if (comment.empty() || comment.size() > kPackageMaxCommentLength) {
        return Fail(kNoItem, "the comment is " + std::to_string(comment.size()) +
                                 " bytes long (it must be 1 to " +
                                 std::to_string(kPackageMaxCommentLength) + ")");
    }
    if (comment.find('\0') != std::string::npos) {
        return Fail(kNoItem, "the comment holds a NUL byte");
    }
    if (items.size() > options_.maxEntries) {
        return Fail(kNoItem, "too many entries: " + Thousands(items.size()) + " (at most " +
                                 Thousands(options_.maxEntries) + ")");
    }
    std::set<std::u16string> seen;
    std::u16string wide;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string problem = NameProblem(items[i].name, items[i].source.empty(), wide);
        if (!problem.empty()) {
            return Fail(static_cast<int64_t>(i), problem);
        }
        // The device's file system ignores letter case: two such names would overwrite each
        // other when the package is unpacked.
        if (!seen.insert(FoldedName(wide)).second) {
            return Fail(static_cast<int64_t>(i),
                        "another entry has the same name (letter case aside)");
        }
    }
    // The installer's own plan, on the names alone: a package written here is one it accepts.
    std::vector<PlanEntry> entries(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        char16_t wide[kPackagePathCapacity] = {};
        platform::MultiByteToWide(items[i].name.c_str(), -1, wide, kPackagePathCapacity);
        entries[i].name = wide;
        entries[i].directory = items[i].source.empty();
    }
    PlanOptions options;
    options.manifestRules = true;
    options.limitFolder = options_.limitFolder;
    InstallPlan plan;
    if (!BuildInstallPlan(entries, options, plan)) {
        std::string message = PlanFaultText(plan.fault);
        if (plan.fault == PlanFault::kPathTooLong && options.limitFolder != nullptr) {
            message += " (over 259 units below " + platform::Utf16ToUtf8(options.limitFolder) +
                       ", where the device writes it)";
        }
        return Fail(static_cast<int64_t>(plan.faultEntry), message);
    }
    return 0;
}

namespace {

// One run of the writer: reads the items in order, feeds their blocks through the pipeline and
// writes local records, data and finally the directory and the trailer.
class PackJob {
  public:
    PackJob(const std::vector<PackItem>& items, const PackOptions& options, Output& out,
            unsigned jobs)
        : items_(items), options_(options), out_(out), pipeline_(jobs, options.level) {}

    // False on failure; failureItem/failureMessage then say why.
    bool Run() {
        for (std::size_t i = 0; i < items_.size(); ++i) {
            const bool ok = items_[i].source.empty() ? EndEntry(i) : StoreFile(i);
            if (!ok) {
                return false;
            }
        }
        while (!pipeline_.Empty()) {
            if (!ConsumeOldest()) {
                return false;
            }
        }
        return WriteCatalogue();
    }

    int64_t failureItem = PackageWriter::kNoItem;
    std::string failureMessage;
    uint64_t sourceBytes = 0;

  private:
    bool Fail(int64_t item, std::string message) {
        failureItem = item;
        failureMessage = std::move(message);
        return false;
    }

    bool Put(const void* data, std::size_t count, int64_t item) {
        if (out_.WouldExceed(count)) {
            return Fail(item, "the package would reach " + Thousands(options_.maxPackageBytes + 1) +
                                  " bytes; it must stay below that");
        }
        if (!out_.Put(data, count)) {
            return Fail(PackageWriter::kNoItem, "cannot write the package (disk full?)");
        }
        return true;
    }

    // Makes room for one more slot by consuming finished ones.
    bool Reserve() {
        while (pipeline_.Full()) {
            if (!ConsumeOldest()) {
                return false;
            }
        }
        return true;
    }

    bool EndEntry(std::size_t item) {
        if (!Reserve()) {
            return false;
        }
        Slot& slot = pipeline_.Next();
        slot.kind = Slot::Kind::kEndEntry;
        slot.item = item;
        pipeline_.Submit();
        return true;
    }

    bool StoreFile(std::size_t item) {
        const int64_t index = static_cast<int64_t>(item);
        std::FILE* in = platform::OpenStream(items_[item].source.c_str(), u"rb");
        if (in == nullptr) {
            return Fail(index, "cannot open the file: " + platform::LastFileError());
        }
        uint64_t size = 0;
        bool ok = true;
        for (;;) {
            if (!Reserve()) {
                ok = false;
                break;
            }
            Slot& slot = pipeline_.Next();
            const std::size_t count = std::fread(slot.input.data(), 1, kPackageBlockSize, in);
            if (count == 0) {
                break;
            }
            if (size + count > options_.maxFileBytes) {
                ok = Fail(index, "the file is " + Thousands(options_.maxFileBytes + 1) +
                                     " bytes or more; an entry must be smaller");
                break;
            }
            slot.kind = Slot::Kind::kBlock;
            slot.item = item;
            slot.inputSize = static_cast<uint32_t>(count);
            pipeline_.Submit();
            size += count;
            sourceBytes += count;
            if (options_.progress) {
                options_.progress(sourceBytes);
            }
            if (count < kPackageBlockSize) {
                break;
            }
        }
        const bool readError = std::ferror(in) != 0;
        std::fclose(in);
        if (!ok) {
            return false;
        }
        if (readError) {
            return Fail(index, "cannot read the file");
        }
        if (size == 0) {
            // An entry without blocks unpacks as a directory, so the file would turn into one.
            return Fail(index,
                        "empty file: it would unpack as a directory; an empty file "
                        "cannot be stored");
        }
        return EndEntry(item);
    }

    bool ConsumeOldest() {
        Slot& slot = pipeline_.Oldest();
        const bool ok = slot.kind == Slot::Kind::kBlock ? ConsumeBlock(slot) : FinishEntry(slot);
        pipeline_.Release();
        return ok;
    }

    bool ConsumeBlock(const Slot& slot) {
        const int64_t index = static_cast<int64_t>(slot.item);
        if (slot.result != Z_OK) {
            return Fail(index,
                        "compression failed (zlib error " + std::to_string(slot.result) + ")");
        }
        if (slot.outputSize > kPackageMaxCompressedBlock) {
            return Fail(index, "a block compressed to " + std::to_string(slot.outputSize) +
                                   " bytes, more than a reader accepts");
        }
        if (!entry_.active) {
            entry_ = OpenEntry{};
            entry_.active = true;
            entry_.item = slot.item;
            entry_.recordOffset = out_.Offset();
            entry_.crc = slot.crc;
        } else {
            entry_.crc = static_cast<uint32_t>(
                crc32_combine(entry_.crc, slot.crc, static_cast<z_off_t>(slot.inputSize)));
        }
        entry_.blocks.push_back({slot.inputSize, static_cast<uint32_t>(slot.outputSize), 0});
        // A small entry is written once its CRC-32 is known; a big one is streamed and its
        // CRC-32 is patched into the local record at the end.
        if (!entry_.recordWritten && entry_.pending.size() + slot.outputSize > kEntryBufferBytes) {
            const std::vector<uint8_t> record = LocalRecord(items_[slot.item].name, 0);
            if (!Put(record.data(), record.size(), index) ||
                !Put(entry_.pending.data(), entry_.pending.size(), index)) {
                return false;
            }
            entry_.pending.clear();
            entry_.recordWritten = true;
        }
        if (entry_.recordWritten) {
            return Put(slot.output.data(), slot.outputSize, index);
        }
        entry_.pending.insert(entry_.pending.end(), slot.output.begin(),
                              slot.output.begin() + static_cast<std::ptrdiff_t>(slot.outputSize));
        return true;
    }

    bool FinishEntry(const Slot& slot) {
        const int64_t index = static_cast<int64_t>(slot.item);
        const std::string& name = items_[slot.item].name;
        if (!entry_.active) {  // a directory: no blocks
            entry_ = OpenEntry{};
            entry_.recordOffset = out_.Offset();
        }
        if (!entry_.recordWritten) {
            const std::vector<uint8_t> record = LocalRecord(name, entry_.crc);
            if (!Put(record.data(), record.size(), index) ||
                !Put(entry_.pending.data(), entry_.pending.size(), index)) {
                return false;
            }
        } else if (!out_.Patch32(entry_.recordOffset + kLocalCrcOffset, entry_.crc)) {
            return Fail(PackageWriter::kNoItem, "cannot write the package (disk full?)");
        }
        AppendDirectoryRecord(directory_, name, entry_.crc, entry_.blocks);
        entry_ = OpenEntry{};
        return true;
    }

    bool WriteCatalogue() {
        const uint64_t directoryOffset = out_.Offset();
        std::vector<uint8_t> end;
        PutLe32(end, kPackageEndSignature);
        PutLe16(end, static_cast<uint16_t>(items_.size()));
        PutLe32(end, static_cast<uint32_t>(directory_.size()));
        PutLe32(end, static_cast<uint32_t>(directoryOffset));
        end.insert(end.end(), options_.comment.begin(), options_.comment.end());
        PutLe16(end, static_cast<uint16_t>(options_.comment.size()));
        return Put(directory_.data(), directory_.size(), PackageWriter::kNoItem) &&
               Put(end.data(), end.size(), PackageWriter::kNoItem);
    }

    const std::vector<PackItem>& items_;
    const PackOptions& options_;
    Output& out_;
    Pipeline pipeline_;
    OpenEntry entry_;
    std::vector<uint8_t> directory_;
};

}  // namespace

int32_t PackageWriter::Write(const std::vector<PackItem>& items, const char16_t* output) {
    error_.clear();
    errorItem_ = kNoItem;
    packageBytes_ = 0;
    sourceBytes_ = 0;
    if (output == nullptr || *output == 0) {
        return Fail(kNoItem, "no output file");
    }
    if (CheckItems(items) != 0) {
        return -1;
    }
    unsigned jobs = options_.jobs;
    if (jobs == 0) {
        jobs = platform::ProcessorCount();
    }
    jobs = std::min(jobs, kMaxJobs);

    // A failure never leaves a partial output, nor changes an existing one.
    Output out(options_.maxPackageBytes);
    const auto write = [&](std::FILE* stream) {
        out.Attach(stream);
        PackJob job(items, options_, out, jobs);
        const bool ok = job.Run();
        if (!ok) {
            Fail(job.failureItem, job.failureMessage);
        }
        sourceBytes_ = job.sourceBytes;
        return ok;
    };
    // The acceptance reads the whole package under its scratch name, before the rename.
    const auto accept = [&](const char16_t* scratch) {
        std::string refusal = options_.accept ? options_.accept(scratch) : std::string();
        if (refusal.empty()) {
            return true;
        }
        Fail(kNoItem, std::move(refusal));
        return false;
    };
    const platform::ReplaceResult replaced =
        platform::ReplaceFile(output, platform::ScratchRule::OfThisRun(), write, accept);
    switch (replaced) {
        case platform::ReplaceResult::kReplaced:
            packageBytes_ = out.Offset();
            return 0;
        case platform::ReplaceResult::kNoScratchPath:
        case platform::ReplaceResult::kCreate:
            Fail(kNoItem,
                 "cannot create a temporary file next to the output: " + platform::LastFileError());
            break;
        case platform::ReplaceResult::kWrite:
            break;
        case platform::ReplaceResult::kCommit:
            Fail(kNoItem, "cannot write the package (disk full?)");
            break;
        case platform::ReplaceResult::kRename:
            Fail(kNoItem, "cannot replace the output: " + platform::LastFileError());
            break;
    }
    sourceBytes_ = 0;
    return -1;
}
