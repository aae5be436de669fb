// PackageScan against PackageVerify on the same packages, its contents against the file's own
// bytes, and the reads an install makes: open, scan and extraction.
#include "package/package_scan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "package/byte_source.h"
#include "package/package.h"
#include "package/verify.h"
#include "package_builder.h"

namespace {

using pkgtest::Builder;
using pkgtest::Bytes;
using pkgtest::Pattern;

int32_t Collect(void* context, const uint8_t* data, uint32_t size) {
    auto* out = static_cast<Bytes*>(context);
    out->insert(out->end(), data, data + size);
    return 0;
}

// Three files (one of several blocks), a directory between them, the manifest last.
Builder Sample() {
    Builder b;
    b.File("VORIZ\\a.bin", Pattern(40000, 1), 16384);
    b.Directory("VORIZ\\DATA\\");
    b.File("VORIZ\\DATA\\b.txt", Pattern(900, 2));
    b.File("VORIZ\\INDEX.INI", pkgtest::Text("[Version]\r\nVersion=1\r\n"));
    return b;
}

constexpr size_t kPrefix = 700;

struct ScanCase {
    const char* name;
    bool prefixed;
    void (*table)(Builder& b);                     // damage to what the directory says, or null
    void (*bytes)(const Builder& b, Bytes& file);  // damage to the built file, or null
    PackageFault fault;                            // what verify and scan both report
};

// Offset in the file of entry k's first data byte.
size_t DataAt(const Builder& b, size_t k, bool prefixed) {
    return (prefixed ? kPrefix : 0) + b.dataOffsets[k];
}

const ScanCase kScanCases[] = {
    {"Whole", false, nullptr, nullptr, PackageFault::kNone},
    {"WholePrefixed", true, nullptr, nullptr, PackageFault::kNone},
    {"BrokenBlock", false, nullptr,
     [](const Builder& b, Bytes& f) { f[DataAt(b, 0, false) + 2] ^= 0xFF; },
     PackageFault::kInflate},
    {"BrokenBlockPrefixed", true, nullptr,
     [](const Builder& b, Bytes& f) { f[DataAt(b, 2, true) + 2] ^= 0xFF; }, PackageFault::kInflate},
    {"CrcMismatch", false, [](Builder& b) { b.entries[2].crc ^= 1; }, nullptr,
     PackageFault::kCrcMismatch},
    {"SizeMismatch", false, [](Builder& b) { b.entries[3].blocks[0].uncompressedSize += 1; },
     nullptr, PackageFault::kSizeMismatch},
    // The last entry claims more compressed bytes than the file holds.
    {"PastTheEnd", false, [](Builder& b) { b.entries[3].blocks[0].compressedSize = 16000; },
     nullptr, PackageFault::kShortRead},
    // A directory record beyond the entry count, and a comment past a NUL: tail bytes the
    // catalogue does not hold are passed on all the same.
    {"UncountedRecord", false,
     [](Builder& b) {
         b.entryCount = 3;
         b.comment = std::string("\\SDMMC\\\0z", 9);
     },
     nullptr, PackageFault::kNone},
    // Bytes between the last entry's data and the directory belong to no entry.
    {"GapBeforeDirectory", false, nullptr,
     [](const Builder& b, Bytes& f) {
         f.insert(f.begin() + static_cast<std::ptrdiff_t>(b.directoryStart), 5000, 0xEE);
     },
     PackageFault::kNone},
};

class ScanTest : public pkgtest::DeviceTest, public ::testing::WithParamInterface<ScanCase> {
  protected:
    static Bytes Package(const ScanCase& c) {
        Builder b = Sample();
        if (c.table != nullptr) {
            c.table(b);
        }
        Bytes file = b.Build(c.prefixed ? Pattern(kPrefix, 9) : Bytes());
        if (c.bytes != nullptr) {
            c.bytes(b, file);
        }
        return file;
    }
};

TEST_P(ScanTest, AgreesWithVerifyAndPassesEveryByte) {
    const ScanCase& c = GetParam();
    const Bytes file = Package(c);
    ASSERT_TRUE(Open(file, c.prefixed ? 1 : 0));
    PackageSetJobs(archive_, 1);
    PackageProblem verified{};
    const int32_t verdict = PackageVerify(archive_, entries_, count_, nullptr, nullptr, &verified);
    EXPECT_EQ(verdict == 1, c.fault == PackageFault::kNone);
    if (verdict == 0) {
        EXPECT_EQ(verified.fault, c.fault) << PackageFaultText(verified.fault);
    }
    for (uint32_t jobs : {1u, 3u}) {
        SCOPED_TRACE(jobs);
        PackageSetJobs(archive_, jobs);
        Bytes contents;
        PackageScanHooks hooks;
        hooks.contents = &Collect;
        hooks.contentsContext = &contents;
        PackageProblem scanned{};
        EXPECT_EQ(PackageScan(archive_, hooks, &scanned), verdict);
        if (verdict == 1) {
            EXPECT_EQ(contents, file);
            continue;
        }
        EXPECT_EQ(scanned.fault, verified.fault);
        EXPECT_EQ(scanned.entryIndex, verified.entryIndex);
        EXPECT_EQ(scanned.block, verified.block);
        EXPECT_EQ(scanned.expected, verified.expected);
        EXPECT_EQ(scanned.actual, verified.actual);
        ASSERT_LE(contents.size(), file.size());
        EXPECT_TRUE(std::equal(contents.begin(), contents.end(), file.begin()));
    }
}

INSTANTIATE_TEST_SUITE_P(Packages, ScanTest, ::testing::ValuesIn(kScanCases),
                         [](const auto& info) { return std::string(info.param.name); });

class ScanReadsTest : public pkgtest::DeviceTest,
                      public ::testing::WithParamInterface<std::tuple<bool, uint32_t>> {};

// What an install reads of a package larger than the file source's read-ahead: the open the
// tail (directory, END record, comment), the scan the rest and one byte that shows the file still
// ends there, and a full extraction from the first entry's data up to the directory, once.
TEST_P(ScanReadsTest, InstallReadsTheFileAtMostTwice) {
    const auto [prefixed, jobs] = GetParam();
    Builder b = Sample();
    b.File("VORIZ\\large.bin", Pattern(300000, 5));
    const size_t prefix = prefixed ? 300 : 0;
    const Bytes file = b.Build(Pattern(prefix, 4));
    ASSERT_GT(b.directoryStart, 2 * FileByteSource::kReadAhead);
    ASSERT_TRUE(OpenFile(file, prefixed ? 1 : 0));
    PackageSetJobs(archive_, jobs);
    // The tail, and the fixed part of each directory record once more, read first.
    const uint64_t tail = file.size() - b.directoryStart;
    const uint64_t opened = tail + uint64_t{kPackageDirectoryRecordSize} * count_;
    EXPECT_EQ(PackageBytesRead(archive_), opened);
    Bytes contents;
    PackageScanHooks hooks;
    hooks.contents = &Collect;
    hooks.contentsContext = &contents;
    ASSERT_EQ(PackageScan(archive_, hooks, nullptr), 1);
    EXPECT_EQ(contents, file);
    EXPECT_EQ(PackageBytesRead(archive_), opened - tail + file.size() + 1);
    ASSERT_EQ(PackageExtractWith(archive_, entries_, count_, u"\\out\\", PackageProgress{}, 0), 1);
    const uint64_t firstData = prefix + b.dataOffsets[0];
    EXPECT_EQ(PackageBytesRead(archive_),
              opened - tail + file.size() + 1 + (b.directoryStart - firstData));
    EXPECT_LE(PackageBytesRead(archive_), 2 * file.size());
    EXPECT_EQ(ReadHost("out/VORIZ/large.bin"), b.entries[4].content);
}

INSTANTIATE_TEST_SUITE_P(Modes, ScanReadsTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(1u, 4u)));

// The kept entry: its bytes after a success, nothing (and the flag) when it is over the limit.
using PackageScanTest = pkgtest::DeviceTest;

TEST_F(PackageScanTest, KeepsOneEntry) {
    Builder b = Sample();
    ASSERT_TRUE(Open(b.Build()));
    for (const uint32_t limit : {1024u * 1024u, 20u}) {
        std::vector<uint8_t> kept = {1, 2, 3};
        bool tooLarge = false;
        PackageScanHooks hooks;
        hooks.keepEntry = 3;
        hooks.keepLimit = limit;
        hooks.kept = &kept;
        hooks.keptTooLarge = &tooLarge;
        ASSERT_EQ(PackageScan(archive_, hooks, nullptr), 1);
        EXPECT_EQ(tooLarge, limit < b.entries[3].content.size());
        EXPECT_EQ(kept, tooLarge ? Bytes() : b.entries[3].content);
    }
}

int32_t StopAfterFirst(void* context, const uint8_t*, uint32_t) {
    return ++*static_cast<int*>(context) > 1 ? -1 : 0;
}

// A stop of the reader, and a file that changed length since the open, fail the scan.
TEST_F(PackageScanTest, StopsAndSeesChangedFile) {
    Builder b = Sample();
    const Bytes file = b.Build();
    ASSERT_TRUE(Open(file));
    int calls = 0;
    PackageScanHooks hooks;
    hooks.contents = &StopAfterFirst;
    hooks.contentsContext = &calls;
    PackageProblem problem{};
    EXPECT_EQ(PackageScan(archive_, hooks, &problem), 0);
    EXPECT_EQ(problem.fault, PackageFault::kNone);

    ASSERT_TRUE(OpenFile(file));
    std::filesystem::resize_file(root_ / "pkg.qzp", file.size() + 3);
    EXPECT_EQ(PackageScan(archive_, PackageScanHooks{}, &problem), 0);
    EXPECT_EQ(problem.fault, PackageFault::kSizeMismatch);
    std::filesystem::resize_file(root_ / "pkg.qzp", file.size() - 3);
    EXPECT_EQ(PackageScan(archive_, PackageScanHooks{}, &problem), 0);
    EXPECT_EQ(problem.fault, PackageFault::kShortRead);
}

// The last scan frees the open's copy of the directory; another scan is then refused.
TEST_F(PackageScanTest, RefusesAScanAfterTheLast) {
    ASSERT_TRUE(Open(Sample().Build()));
    PackageScanHooks hooks;
    hooks.last = true;
    PackageProblem problem{};
    EXPECT_EQ(PackageScan(archive_, hooks, &problem), 1);
    EXPECT_EQ(PackageScan(archive_, hooks, &problem), 0);
    EXPECT_EQ(problem.fault, PackageFault::kNotInCatalogue);
}

}  // namespace
