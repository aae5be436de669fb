// PackageScan's hooks and limits, and the reads an install makes: open, scan and extraction.
// Damage found alike by the scan and verification: extract_test JobsTest.
#include "package/package_scan.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "package/byte_source.h"
#include "package/package.h"
#include "tests/package/package_fixture.h"

namespace pkgtest {
namespace {

// Three files (one of several blocks), a directory between them, the manifest last.
Builder Sample() {
    Builder b;
    b.File("VORIZ\\a.bin", Pattern(40000, 1), 16384);
    b.Directory("VORIZ\\DATA\\");
    b.File("VORIZ\\DATA\\b.txt", Pattern(900, 2));
    b.File("VORIZ\\INDEX.INI", Text("[Version]\r\nVersion=1\r\n"));
    return b;
}

class ScanReadsTest : public DeviceTest,
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
    // The tail read first, once.
    const uint64_t tail = file.size() - b.directoryStart;
    const uint64_t opened = tail;
    EXPECT_EQ(PackageBytesRead(archive_), opened);
    Bytes contents;
    ASSERT_EQ(PackageScan(archive_, {.contents = &AppendTo, .contentsContext = &contents}, nullptr),
              1);
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

int32_t StopAfterFirst(void* context, const uint8_t*, uint32_t) {
    return ++*static_cast<int*>(context) > 1 ? -1 : 0;
}

// The kept entry: its bytes after a success, nothing (and the flag) when it is over the limit. A
// stop of the reader, and a file that changed length since the open, fail the scan. The last scan
// frees the open's copy of the directory; another scan is then refused.
using PackageScanTest = DeviceTest;

TEST_F(PackageScanTest, HooksAndTheFileBelowThem) {
    Builder b = Sample();
    const Bytes file = b.Build();
    ASSERT_TRUE(OpenFile(file));
    for (const uint32_t limit : {1024u * 1024u, 20u}) {
        std::vector<uint8_t> kept = {1, 2, 3};
        bool tooLarge = false;
        const PackageScanHooks hooks{
            .keepEntry = 3, .keepLimit = limit, .kept = &kept, .keptTooLarge = &tooLarge};
        ASSERT_EQ(PackageScan(archive_, hooks, nullptr), 1);
        EXPECT_EQ(tooLarge, limit < b.entries[3].content.size());
        EXPECT_EQ(kept, tooLarge ? Bytes() : b.entries[3].content);
    }

    int calls = 0;
    PackageProblem problem{};
    EXPECT_EQ(
        PackageScan(archive_, {.contents = &StopAfterFirst, .contentsContext = &calls}, &problem),
        0);
    EXPECT_EQ(problem.fault, PackageFault::kNone);

    std::filesystem::resize_file(root_ / "pkg.qzp", file.size() + 3);
    EXPECT_EQ(PackageScan(archive_, PackageScanHooks{}, &problem), 0);
    EXPECT_EQ(problem.fault, PackageFault::kSizeMismatch);
    std::filesystem::resize_file(root_ / "pkg.qzp", file.size() - 3);
    EXPECT_EQ(PackageScan(archive_, PackageScanHooks{}, &problem), 0);
    EXPECT_EQ(problem.fault, PackageFault::kShortRead);

    ASSERT_TRUE(Open(file));
    EXPECT_EQ(PackageScan(archive_, {.last = true}, &problem), 1);
    EXPECT_EQ(PackageScan(archive_, {.last = true}, &problem), 0);
    EXPECT_EQ(problem.fault, PackageFault::kNotInCatalogue);
}

}  // namespace
}  // namespace pkgtest
