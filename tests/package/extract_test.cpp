// Extraction: directory creation, progress, failures that stop the call, name safety, seeks.
#include <cstring>
#include <string>

#include "package/package_archive.h"
#include "platform/posix/fault.h"
#include "platform/utf.h"
#include "tests/package/package_builder.h"

namespace pkgtest {
namespace {

std::vector<std::u16string> g_madeDirectories;
int32_t RecordDirectory(const char16_t* path) {
    g_madeDirectories.emplace_back(path);
    return MakeDirectory(path);
}

struct ProgressCall {
    uint64_t total, done;
    std::u16string name;
    uint64_t entry, entryDone;
    uint32_t first;
};
std::vector<ProgressCall> g_progress;
void RecordProgress(uint32_t totalLow, uint32_t totalHigh, uint32_t doneLow, uint32_t doneHigh,
                    const char16_t* name, uint32_t entryLow, uint32_t entryHigh,
                    uint32_t entryDoneLow, uint32_t entryDoneHigh, uint32_t first) {
    auto join = [](uint32_t low, uint32_t high) { return (uint64_t{high} << 32) | low; };
    g_progress.push_back({join(totalLow, totalHigh), join(doneLow, doneHigh), name,
                          join(entryLow, entryHigh), join(entryDoneLow, entryDoneHigh), first});
}

class ExtractTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        g_madeDirectories.clear();
        g_progress.clear();
    }
    // Extraction through the archive's own operations, recording directories and progress.
    int32_t Extract(std::vector<PackageEntry*> list, const char16_t* target = u"\\out\\") {
        archive_->SetMakeDirectoryCallback(&RecordDirectory)->SetProgressCallback(&RecordProgress);
        return archive_->ExtractEntries(list.data(), static_cast<uint32_t>(list.size()), target);
    }
    PackageFault LastFault() {
        PackageProblem problem{};
        return PackageLastProblem(archive_, &problem) == 1 ? problem.fault : PackageFault::kNone;
    }
};

TEST_F(ExtractTest, RoundTripClosesThePackageOnSuccess) {
    Builder b;
    const Bytes big = Pattern(70000);
    b.Directory("docs\\");
    b.File("docs\\readme.txt", Text("hello"));
    b.File("bin\\big.bin", big);
    ASSERT_TRUE(Open(b.Build()));
    ASSERT_EQ(PackageExtract(archive_, entries_, count_, u"\\out\\", &RecordProgress, 0x100), 1)
        << "only the low byte of the close flag counts";
    EXPECT_EQ(ReadHost("out/docs/readme.txt"), Text("hello"));
    EXPECT_EQ(ReadHost("out/bin/big.bin"), big);
    ASSERT_EQ(PackageExtract(archive_, entries_, count_, u"\\out\\", &RecordProgress, 1), 1);
    archive_ = nullptr;
}

TEST_F(ExtractTest, EntriesWithoutBlocksBecomeDirectories) {
    Builder b;
    b.Directory("plain");
    b.Directory("slashed\\");
    ASSERT_TRUE(Open(b.Build()));
    ASSERT_EQ(Extract({entries_[0], entries_[1]}), 0);
    EXPECT_EQ(g_madeDirectories, (std::vector<std::u16string>{u"\\out\\plain", u"\\out\\slashed"}));
    EXPECT_TRUE(std::filesystem::is_directory(root_ / "out/plain"));
    EXPECT_TRUE(g_progress.empty()) << "directories report no progress, so never a total of 0";
}

TEST_F(ExtractTest, CreatesParentDirectoriesOnlyWhenTheFirstOpenFails) {
    Builder b;
    b.File("A\\B\\file.txt", Text("1"));
    b.File("\\C\\f", Text("2"));
    b.File("A\\again.txt", Text("3"));
    ASSERT_TRUE(Open(b.Build()));
    ASSERT_EQ(Extract({entries_[0], entries_[1]}), 0);
    EXPECT_EQ(g_madeDirectories,
              (std::vector<std::u16string>{u"\\out\\A", u"\\out\\A\\B", u"\\out\\C"}));
    g_madeDirectories.clear();
    ASSERT_EQ(Extract({entries_[2]}), 0);
    EXPECT_TRUE(g_madeDirectories.empty());
    EXPECT_EQ(ReadHost("out/A/B/file.txt"), Text("1"));
    EXPECT_EQ(ReadHost("out/C/f"), Text("2"));
}

TEST_F(ExtractTest, JoinsTargetAndNameWithoutSeparatorAndTruncatesExistingFiles) {
    Builder b;
    b.File("a.txt", Text("new"));
    ASSERT_TRUE(Open(b.Build()));
    WriteHost("Dira.txt", Text("much longer old content"));
    ASSERT_EQ(Extract({entries_[0]}, u"\\Dir"), 0);
    EXPECT_EQ(ReadHost("Dira.txt"), Text("new"));
}

TEST_F(ExtractTest, DefaultTargetIsTheComment) {
    Builder b;
    b.comment = "\\card\\";
    b.File("f.txt", Text("x"));
    ASSERT_TRUE(Open(b.Build()));
    std::filesystem::create_directory(root_ / "card");
    ASSERT_EQ(Extract({entries_[0]}, nullptr), 0);
    EXPECT_EQ(ReadHost("card/f.txt"), Text("x"));
}

TEST_F(ExtractTest, ProgressCountsCompressedBytesPerBlock) {
    Builder b;
    b.File("one", Pattern(40000), 16384);  // three blocks
    b.Directory("d");
    b.File("two", Pattern(10));
    ASSERT_TRUE(Open(b.Build()));
    const uint64_t c0 = archive_->FindEntry(entries_[0])->CompressedTotal();
    const uint64_t c2 = archive_->FindEntry(entries_[2])->CompressedTotal();
    ASSERT_EQ(Extract({entries_[0], entries_[1], entries_[2]}), 0);
    ASSERT_EQ(g_progress.size(), 4u);
    uint64_t done = 0;
    for (size_t i = 0; i < 3; ++i) {
        done += b.entries[0].blocks[i].compressedSize;
        EXPECT_EQ(g_progress[i].total, c0 + c2);
        EXPECT_EQ(g_progress[i].done, done);
        EXPECT_EQ(g_progress[i].entry, c0);
        EXPECT_EQ(g_progress[i].entryDone, done);
        EXPECT_EQ(g_progress[i].first, i == 0 ? 1u : 0u);
        EXPECT_EQ(g_progress[i].name, u"one");
    }
    EXPECT_EQ(g_progress[3].first, 1u);
    EXPECT_EQ(g_progress[3].entryDone, c2);
    EXPECT_EQ(g_progress[3].done, g_progress[3].total);
}

// A call whose total passes 4 GiB: one real entry, then a 300 MB entry whose data are not in the
// file, listed 15 times. The first progress call already carries the full 64-bit total.
TEST_F(ExtractTest, ProgressSplitsCountersAbove4GiBIntoWords) {
    Builder b;
    b.File("real", Pattern(100));
    b.Directory("huge").blocks.assign(18000, Block{16384, 16639, {}});
    ASSERT_TRUE(Open(b.Build()));
    std::vector<PackageEntry*> list(16, entries_[1]);
    list[0] = entries_[0];
    EXPECT_EQ(Extract(list), -1);
    EXPECT_EQ(LastFault(), PackageFault::kInflate);  // "huge" reads directory bytes
    ASSERT_EQ(g_progress.size(), 1u);
    const uint64_t expected =
        archive_->FindEntry(entries_[0])->CompressedTotal() + 15ull * 18000 * 16639;
    EXPECT_GT(expected, 0xFFFFFFFFull);
    EXPECT_EQ(g_progress[0].total, expected);
}

// Damage to the second of three file entries: the call fails there, the first entry is complete
// and the third is never created. PackageVerify finds the same fault without writing anything.
struct Damage {
    const char* what;
    PackageFault fault;
    void (*apply)(Builder&);
};

const Damage kDamages[] = {
    {"CrcMismatch", PackageFault::kCrcMismatch, [](Builder& b) { b.entries[1].crc ^= 1; }},
    {"SizeMismatch", PackageFault::kSizeMismatch,
     [](Builder& b) { b.entries[1].blocks[1].uncompressedSize -= 1; }},
    {"InflateError", PackageFault::kInflate,
     [](Builder& b) { b.entries[1].blocks[0].data[5] ^= 0xFF; }},
    {"EmptyBlock", PackageFault::kInflate,
     [](Builder& b) {
         b.entries[1].blocks.push_back({0, 0, {}});
     }},
    {"InflatesPastWorkBuffer", PackageFault::kInflate,
     [](Builder& b) {
         const Bytes big(70000, 'z');
         b.entries[1].blocks[0] = {65535, 0, Compress(big.data(), big.size())};
         b.entries[1].blocks[0].compressedSize =
             static_cast<uint32_t>(b.entries[1].blocks[0].data.size());
     }},
    {"UnsafeName", PackageFault::kUnsafeName,
     [](Builder& b) { b.entries[1].name = "sub\\..\\..\\escape.txt"; }},
};

class DamageTest : public ExtractTest, public ::testing::WithParamInterface<Damage> {
  protected:
    Bytes BuildDamaged() {
        Builder b;
        b.File("first.txt", Pattern(500));
        b.File("second.txt", Pattern(20000, 2), 10000);
        b.File("third.txt", Pattern(500, 3));
        GetParam().apply(b);
        return b.Build();
    }
};

TEST_P(DamageTest, ExtractionStopsAtTheDamagedEntry) {
    ASSERT_TRUE(Open(BuildDamaged()));
    EXPECT_EQ(PackageExtract(archive_, entries_, count_, u"\\out\\", &RecordProgress, 1), 0);
    // A name is refused by the extraction plan before the first write; damaged data only when
    // its entry is reached.
    EXPECT_EQ(Exists("out/first.txt"), GetParam().fault != PackageFault::kUnsafeName);
    EXPECT_FALSE(Exists("out/third.txt"));
    EXPECT_FALSE(Exists("escape.txt"));
    PackageProblem problem{};
    ASSERT_EQ(PackageLastProblem(archive_, &problem), 1) << "the package stays open";
    EXPECT_EQ(problem.fault, GetParam().fault);
    EXPECT_EQ(problem.entryIndex, 1u);
}

TEST_P(DamageTest, VerificationFindsTheSameFaultAndWritesNothing) {
    ASSERT_TRUE(Open(BuildDamaged()));
    const auto before = Tree();
    PackageProblem problem{};
    EXPECT_EQ(PackageVerify(archive_, entries_, count_, nullptr, nullptr, &problem), 0);
    EXPECT_EQ(problem.fault, GetParam().fault);
    EXPECT_EQ(problem.entryIndex, 1u);
    EXPECT_EQ(Tree(), before);
}

INSTANTIATE_TEST_SUITE_P(Faults, DamageTest, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(ExtractTest, CrcProblemCarriesBothValues) {
    Builder b;
    const Bytes content = Pattern(1234);
    b.File("f", content).crc = 0x12345678u;
    ASSERT_TRUE(Open(b.Build()));
    PackageProblem problem{};
    ASSERT_EQ(PackageVerify(archive_, entries_, count_, nullptr, nullptr, &problem), 0);
    EXPECT_EQ(problem.fault, PackageFault::kCrcMismatch);
    EXPECT_EQ(problem.expected, 0x12345678u);
    EXPECT_EQ(problem.actual, Crc(content));
    EXPECT_STREQ(PackageFaultText(problem.fault), "CRC-32 mismatch");
}

TEST_F(ExtractTest, VerifyReportsProgressLikeExtraction) {
    Builder b;
    b.File("a", Pattern(30000));
    b.Directory("d");
    ASSERT_TRUE(Open(b.Build()));
    EXPECT_EQ(PackageVerify(archive_, entries_, count_, nullptr, &RecordProgress, nullptr), 1);
    ASSERT_EQ(g_progress.size(), 2u);
    EXPECT_EQ(g_progress[1].done, g_progress[1].total);
    EXPECT_EQ(PackageVerify(archive_, entries_, 0, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(PackageLastProblem(archive_, nullptr), 0);
}

TEST_F(ExtractTest, FailedWriteFailsTheEntry) {
    Builder b;
    b.File("f", Pattern(100));
    ASSERT_TRUE(Open(b.Build()));
    platform::fault::Arm(0, 1);
    EXPECT_EQ(Extract({entries_[0]}), -1);
    platform::fault::Arm(0, 0);
    EXPECT_EQ(LastFault(), PackageFault::kShortWrite);
}

// An existing file is replaced only by a complete, checked copy; a new file is written in place.
TEST_F(ExtractTest, ExistingFilesAreReplacedWhole) {
    Builder b;
    b.File("keep.txt", Pattern(30000, 4));
    b.File("bad.txt", Pattern(30000, 5)).crc ^= 1;
    ASSERT_TRUE(Open(b.Build()));
    WriteHost("out/keep.txt", Text("old keep"));
    WriteHost("out/bad.txt", Text("old bad"));
    WriteHost("out/~qzpnew.tmp", Text("left by a power loss"));
    EXPECT_EQ(Extract({entries_[0], entries_[1]}), -1);
    EXPECT_EQ(ReadHost("out/keep.txt"), Pattern(30000, 4));
    EXPECT_EQ(ReadHost("out/bad.txt"), Text("old bad")) << "a failed entry keeps the old file";
    EXPECT_FALSE(Exists("out/~qzpnew.tmp")) << "the scratch file never outlives an entry";

    std::filesystem::create_directory(root_ / "out/new");
    platform::fault::Arm(0, 1);  // the first write of a file that did not exist fails
    EXPECT_EQ(Extract({entries_[0]}, u"\\out\\new\\"), -1);
    platform::fault::Arm(0, 0);
    EXPECT_TRUE(Exists("out/new/keep.txt")) << "new files are written in place";
    EXPECT_FALSE(Exists("out/new/~qzpnew.tmp"));
}

TEST_F(ExtractTest, EmptyAndForeignListsFail) {
    Builder b;
    b.File("a", Text("a"));
    b.File("b", Text("b"));
    ASSERT_TRUE(Open(b.Build()));
    EXPECT_EQ(PackageExtract(archive_, entries_, 0, u"\\out\\", &RecordProgress, 1), 0);
    EXPECT_EQ(PackageExtract(nullptr, entries_, 1, u"\\out\\", &RecordProgress, 1), 0);
    PackageEntry foreign;
    // An unknown entry is skipped; the others are still extracted, but the call fails.
    EXPECT_EQ(Extract({&foreign, entries_[1]}), -1);
    EXPECT_EQ(LastFault(), PackageFault::kNotInCatalogue);
    EXPECT_EQ(ReadHost("out/b"), Text("b"));
    EXPECT_FALSE(Exists("out/a"));
}

// Names that would leave the target are refused before anything is created, for files and for
// directory entries.
class UnsafeNameTest : public ExtractTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnsafeNameTest, NothingIsWritten) {
    for (bool directory : {false, true}) {
        Builder b;
        if (directory) {
            b.Directory(GetParam());
        } else {
            b.File(GetParam(), Text("evil"));
        }
        ASSERT_TRUE(Open(b.Build()));
        const auto before = Tree();
        EXPECT_EQ(Extract({entries_[0]}, u"\\out\\sub\\"), -1);
        EXPECT_EQ(LastFault(), PackageFault::kUnsafeName);
        EXPECT_EQ(Tree(), before);
        EXPECT_TRUE(g_madeDirectories.empty());
        Close();
    }
}

INSTANTIATE_TEST_SUITE_P(Names, UnsafeNameTest,
                         ::testing::Values("..\\evil", "a\\..\\..\\evil", "../evil", "a/../../evil",
                                           "C:\\evil", "C:evil", "..", "x\\. .\\y", "x\\...\\y",
                                           "d\\~QzpNew.TMP"));

TEST_F(ExtractTest, HarmlessDotsAreAllowed) {
    for (const char16_t* name : {u"a..b", u".hidden", u".\\x", u"x\\..y", u"ab:c"}) {
        EXPECT_TRUE(PackageNameIsSafe(name)) << platform::Utf16ToUtf8(name);
    }
}

TEST_F(ExtractTest, JoinedPathsOver259UnitsFailBeforeCreatingAnything) {
    const std::string fits(259 - 5, 'n');  // "\out\" + name = 259 units
    Builder b;
    b.File(fits, Text("ok"));
    b.File("deep\\" + std::string(250, 'm'), Text("no"));
    b.Directory(std::string(255, 'd'));
    const std::string longDirectory(245, 'L');  // "\out\" + 245 + "\f" fits, "~qzpnew.tmp" not
    b.File(longDirectory + "\\f", Text("short name"));
    ASSERT_TRUE(Open(b.Build()));
    EXPECT_EQ(Extract({entries_[0]}), 0);
    EXPECT_EQ(ReadHost("out/" + fits), Text("ok"));
    for (uint32_t k : {1u, 2u}) {
        const auto before = Tree();
        EXPECT_EQ(Extract({entries_[k]}), -1);
        EXPECT_EQ(LastFault(), PackageFault::kPathTooLong);
        EXPECT_EQ(Tree(), before);
    }
    std::u16string longTarget(300, u'T');
    EXPECT_EQ(Extract({entries_[0]}, longTarget.c_str()), -1);
    EXPECT_EQ(LastFault(), PackageFault::kPathTooLong);

    // A check against the same target finds each of them before anything is written.
    for (uint32_t k : {1u, 2u}) {
        PackageProblem problem{};
        EXPECT_EQ(PackageVerify(archive_, &entries_[k], 1, nullptr, nullptr, &problem), 1);
        EXPECT_EQ(PackageVerify(archive_, &entries_[k], 1, u"\\out\\", nullptr, &problem), 0);
        EXPECT_EQ(problem.fault, PackageFault::kPathTooLong);
    }
    // A file whose path fits can always be replaced: the scratch name shrinks with the room.
    PackageProblem problem{};
    EXPECT_EQ(PackageVerify(archive_, &entries_[3], 1, u"\\out\\", nullptr, &problem), 1);
    EXPECT_EQ(Extract({entries_[3]}), 0);
    WriteHost("out/" + longDirectory + "/f", Text("old"));
    EXPECT_EQ(Extract({entries_[3]}), 0) << "replaced through the scratch name ~qzpnew";
    EXPECT_EQ(ReadHost("out/" + longDirectory + "/f"), Text("short name"));
    EXPECT_FALSE(Exists("out/" + longDirectory + "/~qzpnew"));
}

// The name stops at its first NUL byte, but its stored length still places the data.
TEST_F(ExtractTest, NameWithEmbeddedNulKeepsItsStoredLength) {
    Builder b;
    b.File(std::string("ab\0cd", 5), Text("first"));
    b.File("next", Text("second"));
    ASSERT_TRUE(Open(b.Build()));
    EXPECT_STREQ(archive_->FindEntry(entries_[0])->name(), "ab");
    EXPECT_EQ(archive_->FindEntry(entries_[0])->nameLength(), 5);
    ASSERT_EQ(Extract({entries_[0], entries_[1]}), 0);
    EXPECT_EQ(ReadHost("out/ab"), Text("first"));
    EXPECT_EQ(ReadHost("out/next"), Text("second"));
}

// Data positions for name lengths 5, 7, 3 and compressed totals 100, 0, 50, plain and behind a
// prefix.
TEST_F(ExtractTest, SeeksToEntryDataInBothLayouts) {
    Builder b;
    b.Directory("aaaaa").blocks = {{1, 100, Bytes(100)}};
    b.Directory("bbbbbbb");
    b.Directory("ccc").blocks = {{1, 50, Bytes(50)}};
    const Bytes prefix(1000, 0xEE);
    for (int32_t prefixed : {0, 1}) {
        ASSERT_TRUE(Open(b.Build(prefixed ? prefix : Bytes()), prefixed));
        const int64_t directory = static_cast<int64_t>(b.directoryStart);
        const std::pair<uint16_t, int32_t> plain[] = {{0, 25}, {2, 175}};
        const std::pair<uint16_t, int32_t> behind[] = {{0, 200}, {2, 50}};
        for (auto [index, sum] : prefixed ? behind : plain) {
            archive_->SetCurrentIndex(index);
            int32_t offset = -1;
            ASSERT_EQ(archive_->SeekToEntryData(&offset), 0);
            EXPECT_EQ(offset, sum);
            EXPECT_EQ(archive_->Tell(), prefixed ? directory - sum : sum);
        }
        Close();
    }
}

TEST_F(ExtractTest, PrefixedPackageExtractsAfterAFailedEntry) {
    Builder b;
    b.File("bad", Pattern(3000)).crc ^= 1;
    b.File("sub\\good", Pattern(5000, 7));
    ASSERT_TRUE(Open(b.Build(Pattern(777, 9)), 1));
    EXPECT_EQ(Extract({entries_[0]}), -1);
    ASSERT_EQ(Extract({entries_[1], entries_[1]}), 0);
    EXPECT_EQ(ReadHost("out/sub/good"), b.entries[1].content);
}

}  // namespace
}  // namespace pkgtest
