// Extraction: directory creation, progress, failures that stop the call, name safety, seeks.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "package/block_codec.h"
#include "package/block_pipeline.h"
#include "package/extract.h"
#include "package/package_archive.h"
#include "package/verify.h"
#include "platform/fault.h"
#include "platform/text.h"
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
        PlainProgress progress(&RecordProgress);
        return EntryRun(*archive_, progress.progress(), &RecordDirectory)
            .Extract(list.data(), static_cast<uint32_t>(list.size()), target);
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

// Entries without blocks become directories; a file's parents are made only when it cannot be
// opened at once.
TEST_F(ExtractTest, MakesDirectoryEntriesAndParentsOnlyWhenTheFirstOpenFails) {
    Builder b;
    b.Directory("plain");
    b.Directory("slashed\\");
    b.File("A\\B\\file.txt", Text("1"));
    b.File("\\C\\f", Text("2"));
    b.File("A\\again.txt", Text("3"));
    b.File("VORIZ\\\\a.txt", Text("4"));  // the empty piece is skipped: lands at VORIZ\a.txt
    ASSERT_TRUE(Open(b.Build()));
    ASSERT_EQ(Extract({entries_[0], entries_[1]}), 0);
    EXPECT_EQ(g_madeDirectories, (std::vector<std::u16string>{u"\\out\\plain", u"\\out\\slashed"}));
    EXPECT_TRUE(std::filesystem::is_directory(root_ / "out/plain"));
    EXPECT_TRUE(g_progress.empty()) << "directories report no progress, so never a total of 0";
    g_madeDirectories.clear();
    ASSERT_EQ(Extract({entries_[2], entries_[3], entries_[5]}), 0);
    EXPECT_EQ(g_madeDirectories, (std::vector<std::u16string>{u"\\out\\A", u"\\out\\A\\B",
                                                              u"\\out\\C", u"\\out\\VORIZ"}));
    g_madeDirectories.clear();
    ASSERT_EQ(Extract({entries_[4]}), 0);
    EXPECT_TRUE(g_madeDirectories.empty());
    EXPECT_EQ(ReadHost("out/A/B/file.txt"), Text("1"));
    EXPECT_EQ(ReadHost("out/C/f"), Text("2"));
    EXPECT_EQ(ReadHost("out/VORIZ/a.txt"), Text("4"));
}

TEST_F(ExtractTest, TargetDefaultsToTheCommentAndIsJoinedWithoutSeparator) {
    Builder b;
    b.comment = "\\card\\";
    b.File("f.txt", Text("new"));
    ASSERT_TRUE(Open(b.Build()));
    std::filesystem::create_directory(root_ / "card");
    ASSERT_EQ(Extract({entries_[0]}, nullptr), 0);
    EXPECT_EQ(ReadHost("card/f.txt"), Text("new"));
    WriteHost("Dirf.txt", Text("much longer old content"));
    ASSERT_EQ(Extract({entries_[0]}, u"\\Dir"), 0);
    EXPECT_EQ(ReadHost("Dirf.txt"), Text("new"));
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
    // zlib (the device's decoder) refuses it as "invalid bit length repeat"; libdeflate inflates
    // it to its data, Adler-32 included.
    {"CodeLengthsOverrunTheirTable", PackageFault::kInflate,
     [](Builder& b) {
         const std::string text = "%%%1%%%%%%%%%\xe7" + std::string(51, '%') + "\xaa]ro\ng" +
                                  std::string(66, '%') + "\xaa]";
         const Bytes content(text.begin(), text.end());
         const Bytes stream = {0x38, 0x11, 0x05, 0xc1, 0x31, 0x0d, 0x00, 0x30, 0x08, 0x00, 0xb0,
                               0x7f, 0x3e, 0x2a, 0x60, 0x82, 0xb8, 0x39, 0x49, 0x90, 0x85, 0x31,
                               0x6c, 0xf0, 0xe2, 0x03, 0x58, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0x4c, 0x74, 0xbd, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0x60, 0xe2, 0x00, 0x51, 0x4d, 0x17, 0x1e};
         b.entries[1] = {"second.txt", Crc(content), {{139, 51, stream}}, content};
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

TEST_P(DamageTest, VerificationWritesNothingAndExtractionStopsAtTheDamagedEntry) {
    ASSERT_TRUE(Open(BuildDamaged()));
    const auto before = Tree();
    PackageProblem problem{};
    EXPECT_EQ(PackageVerify(archive_, entries_, count_, nullptr, nullptr, &problem), 0);
    EXPECT_EQ(problem.fault, GetParam().fault);
    EXPECT_EQ(problem.entryIndex, 1u);
    if (problem.fault == PackageFault::kCrcMismatch) {  // the stored and the computed value
        EXPECT_EQ(problem.actual, Crc(Pattern(20000, 2)));
        EXPECT_EQ(problem.expected, problem.actual ^ 1);
        EXPECT_STREQ(PackageFaultText(problem.fault), "CRC-32 mismatch");
    }
    EXPECT_EQ(Tree(), before);

    EXPECT_EQ(PackageExtract(archive_, entries_, count_, u"\\out\\", &RecordProgress, 1), 0);
    // A name is refused by the extraction plan before the first write; damaged data only when
    // its entry is reached.
    EXPECT_EQ(Exists("out/first.txt"), GetParam().fault != PackageFault::kUnsafeName);
    EXPECT_FALSE(Exists("out/third.txt"));
    EXPECT_FALSE(Exists("escape.txt"));
    problem = {};
    ASSERT_EQ(PackageLastProblem(archive_, &problem), 1) << "the package stays open";
    EXPECT_EQ(problem.fault, GetParam().fault);
    EXPECT_EQ(problem.entryIndex, 1u);
}

INSTANTIATE_TEST_SUITE_P(Faults, DamageTest, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.what); });

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
    EXPECT_EQ(LastFault(), PackageFault::kShortWrite);
    EXPECT_TRUE(Exists("out/new/keep.txt")) << "new files are written in place";
    EXPECT_FALSE(Exists("out/new/~qzpnew.tmp"));

    // A file that appears after the plan found nothing there is replaced whole all the same.
    Builder late;
    late.File("first.txt", Text("first"));
    late.File("second.txt", Text("second"));
    ASSERT_TRUE(Open(late.Build()));
    std::filesystem::create_directory(root_ / "out/late");
    static std::string second;  // static: the progress function captures nothing
    second = (root_ / "out/late/second.txt").string();
    const auto plantSecond = [](uint32_t, uint32_t, uint32_t, uint32_t, const char16_t*, uint32_t,
                                uint32_t, uint32_t, uint32_t, uint32_t) {
        std::FILE* planted = std::fopen(second.c_str(), "wb");
        std::fputs("planted while the first entry was written", planted);
        std::fclose(planted);
    };
    ASSERT_EQ(PackageExtract(archive_, entries_, 2, u"\\out\\late\\", plantSecond, 0), 1);
    EXPECT_EQ(ReadHost("out/late/second.txt"), Text("second"));
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

TEST_F(ExtractTest, JoinedPathsOver259UnitsFailBeforeCreatingAnything) {
    const std::string fits(259 - 5, 'n');  // "\out\" + name = 259 units
    Builder b;
    b.File(fits, Text("ok"));
    b.File("deep\\" + std::string(250, 'm'), Text("no"));
    b.Directory(std::string(255, 'd'));
    const std::string longDirectory(245, 'L');  // "\out\" + 245 + "\f" fits, "~qzpnew.tmp" not
    b.File(longDirectory + "\\f", Text("short name"));
    b.File("d\\\\" + std::string(252, 'm'), Text("no"));  // 260 units joined, 259 once landed
    b.File("short", Text("s"));
    ASSERT_TRUE(Open(b.Build()));
    EXPECT_EQ(Extract({entries_[0]}), 0);
    EXPECT_EQ(ReadHost("out/" + fits), Text("ok"));
    for (uint32_t k : {1u, 2u, 4u}) {
        const auto before = Tree();
        EXPECT_EQ(Extract({entries_[k]}), -1);
        EXPECT_EQ(LastFault(), PackageFault::kPathTooLong);
        EXPECT_EQ(Tree(), before);
        // A check against the same target finds it before anything is written.
        PackageProblem problem{};
        EXPECT_EQ(PackageVerify(archive_, &entries_[k], 1, nullptr, nullptr, &problem), 1);
        EXPECT_EQ(PackageVerify(archive_, &entries_[k], 1, u"\\out\\", nullptr, &problem), 0);
        EXPECT_EQ(problem.fault, PackageFault::kPathTooLong);
    }
    std::u16string longTarget(300, u'T');
    EXPECT_EQ(Extract({entries_[0]}, longTarget.c_str()), -1);
    EXPECT_EQ(LastFault(), PackageFault::kPathTooLong);
    // A file whose path fits can always be replaced: the scratch name shrinks with the room.
    PackageProblem problem{};
    EXPECT_EQ(PackageVerify(archive_, &entries_[3], 1, u"\\out\\", nullptr, &problem), 1);
    EXPECT_EQ(Extract({entries_[3]}), 0);
    WriteHost("out/" + longDirectory + "/f", Text("old"));
    EXPECT_EQ(Extract({entries_[3]}), 0) << "replaced through the scratch name ~qzpnew";
    EXPECT_EQ(ReadHost("out/" + longDirectory + "/f"), Text("short name"));
    EXPECT_FALSE(Exists("out/" + longDirectory + "/~qzpnew"));

    // Unpacked for the flash volume's folder into a host folder longer than the device allows:
    // that folder counts toward the limit, not the host's path, for new and replaced files alike.
    const std::string host = "out/" + std::string(150, 'h') + "/" + std::string(150, 'h');
    std::filesystem::create_directories(root_ / host);
    std::u16string hostTarget = platform::Utf8ToUtf16("/" + host + "/");
    std::replace(hostTarget.begin(), hostTarget.end(), u'/', u'\\');
    ASSERT_EQ(PackageSetLimitFolder(archive_, u"\\ResidentFlash2\\"), 1);
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(Extract({entries_[5]}, hostTarget.c_str()), 0);
    }
    EXPECT_EQ(ReadHost(host + "/short"), Text("s"));
    EXPECT_EQ(Extract({entries_[0]}, hostTarget.c_str()), -1) << "16 + 254 units on the device";
    EXPECT_EQ(LastFault(), PackageFault::kPathTooLong);
}

// A name holding a NUL keeps every stored byte: its stored length still places the next entry's
// data, and the rule refuses the whole name instead of writing the part before the NUL.
TEST_F(ExtractTest, NameWithEmbeddedNulKeepsItsStoredBytes) {
    Builder b;
    b.File(std::string("ab\0cd", 5), Text("first"));
    b.File("next", Text("second"));
    ASSERT_TRUE(Open(b.Build()));
    EXPECT_EQ(archive_->FindEntry(entries_[0])->storedName(), std::string_view("ab\0cd", 5));
    EXPECT_EQ(Extract({entries_[1]}), 0);
    EXPECT_EQ(ReadHost("out/next"), Text("second"));
    EXPECT_EQ(Extract({entries_[0]}), -1);
    EXPECT_EQ(LastFault(), PackageFault::kPlanRefused);
    EXPECT_FALSE(Exists("out/ab"));
}

// Each entry's data are found from the directory alone, plain and behind a prefix, whatever
// entries came before, in whatever order they are asked for and after an entry that failed.
TEST_F(ExtractTest, FindsEntryDataInBothLayouts) {
    Builder b;
    b.File("aaaaa", Pattern(100));
    b.Directory("bbbbbbb");
    b.File("sub\\ccc", Pattern(5000, 7));
    b.File("bad", Pattern(3000)).crc ^= 1;
    for (int32_t prefixed : {0, 1}) {
        ASSERT_TRUE(Open(b.Build(prefixed ? Pattern(777, 9) : Bytes()), prefixed));
        EXPECT_EQ(Extract({entries_[3]}), -1);
        ASSERT_EQ(Extract({entries_[2], entries_[0], entries_[2]}), 0);
        EXPECT_EQ(ReadHost("out/aaaaa"), b.entries[0].content);
        EXPECT_EQ(ReadHost("out/sub/ccc"), b.entries[2].content);
    }
}

// Decoding on several threads must change nothing observable. Each case runs once with one job,
// recording every directory call, every progress call (with the number of file writes made so
// far) and the result, then again with more jobs into a fresh directory; both records, the
// problems and the trees with their contents must be identical.
struct JobsCase {
    const char* what;
    void (*apply)(Builder&);  // damage to the standard package, or nothing
    bool prefixed;
    uint64_t failAtWrite;  // 0: every write succeeds
    bool verify;           // PackageVerify into \out\ instead of PackageExtract
};

std::vector<std::string> g_events;
int32_t LogDirectory(const char16_t* path) {
    g_events.push_back("mkdir " + platform::Utf16ToUtf8(path));
    return MakeDirectory(path);
}
void LogProgress(uint32_t totalLow, uint32_t totalHigh, uint32_t doneLow, uint32_t doneHigh,
                 const char16_t* name, uint32_t entryLow, uint32_t entryHigh, uint32_t entryDoneLow,
                 uint32_t entryDoneHigh, uint32_t first) {
    g_events.push_back("progress " + std::to_string(totalLow) + " " + std::to_string(totalHigh) +
                       " " + std::to_string(doneLow) + " " + std::to_string(doneHigh) + " " +
                       platform::Utf16ToUtf8(name) + " " + std::to_string(entryLow) + " " +
                       std::to_string(entryHigh) + " " + std::to_string(entryDoneLow) + " " +
                       std::to_string(entryDoneHigh) + " " + std::to_string(first) + " writes " +
                       std::to_string(platform::fault::WriteCount()));
}

// Directories, nested files whose parents appear on first use, multi-block and tiny files, and
// a second entry with two blocks that the damages below hit.
Builder StandardPackage() {
    Builder b;
    b.File("first.txt", Pattern(500));
    b.File("second.txt", Pattern(20000, 2), 10000);
    b.Directory("dir\\");
    b.File("dir\\big.bin", Pattern(70000, 3));
    for (int i = 0; i < 40; ++i) {
        b.File("d" + std::to_string(i % 5) + "\\sub\\f" + std::to_string(i), Pattern(1 + i * 97, i),
               1000);
    }
    b.File("last.txt", Pattern(300, 4));
    return b;
}

const JobsCase kJobsCases[] = {
    {"Intact", [](Builder&) {}, false, 0, false},
    {"IntactPrefixed", [](Builder&) {}, true, 0, false},
    {"CrcMismatch", [](Builder& b) { b.entries[1].crc ^= 1; }, false, 0, false},
    {"SizeMismatch", [](Builder& b) { b.entries[1].blocks[1].uncompressedSize -= 1; }, false, 0,
     false},
    {"InflateError", [](Builder& b) { b.entries[1].blocks[0].data[5] ^= 0xFF; }, false, 0, false},
    {"LateEntryDamaged", [](Builder& b) { b.entries[30].blocks[0].data[3] ^= 0x40; }, false, 0,
     false},
    // The last block reaches past the end of the file: a short read after everything else.
    {"ShortReadAtTheEnd", [](Builder& b) { b.entries.back().blocks[0].compressedSize = 16000; },
     false, 0, false},
    {"FailedWrite", [](Builder&) {}, false, 9, false},
    {"FailedWritePrefixed", [](Builder&) {}, true, 30, false},
    {"VerifyIntact", [](Builder&) {}, false, 0, true},
    {"VerifyLateDamage", [](Builder& b) { b.entries[30].crc ^= 4; }, true, 0, true},
};

class JobsTest : public DeviceTest,
                 public ::testing::WithParamInterface<std::tuple<JobsCase, uint32_t>> {
  protected:
    struct Record {
        std::vector<std::string> events;
        int32_t result = 0;
        PackageProblem problem{};
        uint32_t peakBlocksInFlight = 0;
        std::vector<std::pair<std::string, Bytes>> files;
    };

    Record Run(uint32_t jobs) {
        const JobsCase& c = std::get<0>(GetParam());
        std::filesystem::remove_all(root_ / "out");
        std::filesystem::create_directory(root_ / "out");
        g_events.clear();
        platform::fault::Arm(0, c.failAtWrite);
        archive_->SetJobs(jobs);
        PlainProgress progress(&LogProgress);
        EntryRun run(*archive_, progress.progress(), &LogDirectory);
        Record r;
        r.result = c.verify ? run.Verify(entries_, count_, u"\\out\\")
                            : run.Extract(entries_, count_, u"\\out\\");
        r.peakBlocksInFlight = run.peakBlocksInFlight();
        platform::fault::Arm(0, 0);
        archive_->LastProblem(&r.problem);
        r.events = g_events;
        for (const std::string& path : Tree()) {
            r.files.emplace_back(
                path, std::filesystem::is_regular_file(root_ / path) ? ReadHost(path) : Bytes());
        }
        return r;
    }
};

TEST_P(JobsTest, EverythingObservableMatchesOneThread) {
    const auto& [c, jobs] = GetParam();
    Builder b = StandardPackage();
    c.apply(b);
    ASSERT_TRUE(Open(b.Build(c.prefixed ? Pattern(333, 8) : Bytes()), c.prefixed ? 1 : 0));
    const Record reference = Run(1);
    const Record parallel = Run(jobs);
    EXPECT_EQ(parallel.events, reference.events);
    EXPECT_EQ(parallel.result, reference.result);
    EXPECT_EQ(parallel.problem.fault, reference.problem.fault);
    EXPECT_EQ(parallel.problem.entryIndex, reference.problem.entryIndex);
    EXPECT_EQ(parallel.problem.block, reference.problem.block);
    EXPECT_EQ(parallel.problem.expected, reference.problem.expected);
    EXPECT_EQ(parallel.problem.actual, reference.problem.actual);
    EXPECT_EQ(parallel.files, reference.files);
    EXPECT_GT(parallel.peakBlocksInFlight, 1u) << "the run was not spread over threads";
    const bool intact = std::string(c.what).find("Intact") != std::string::npos;
    EXPECT_EQ(reference.result == 0, intact);
}

INSTANTIATE_TEST_SUITE_P(Cases, JobsTest,
                         ::testing::Combine(::testing::ValuesIn(kJobsCases),
                                            ::testing::Values(2u, 7u)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).what) + "_jobs" +
                                    std::to_string(std::get<1>(info.param));
                         });

// However many blocks a package holds and however many jobs decode it, only a fixed number of
// blocks are in memory at once, also when every block fails late (its checksum is the last thing
// inflated) or only the last entry does.
struct LateFailure {
    const char* what;
    void (*apply)(Builder&);
    uint32_t entryIndex;
    PackageFault fault;
};

const LateFailure kLateFailures[] = {
    {"EveryBlockChecksum",
     [](Builder& b) {
         for (Entry& e : b.entries) {
             for (Block& block : e.blocks) {
                 block.data.back() ^= 1;  // the stream's Adler-32
             }
         }
     },
     0, PackageFault::kInflate},
    {"LastEntryCrc", [](Builder& b) { b.entries.back().crc ^= 1; }, 299,
     PackageFault::kCrcMismatch},
};

class BoundedMemoryTest : public DeviceTest,
                          public ::testing::WithParamInterface<std::tuple<LateFailure, uint32_t>> {
};

TEST_P(BoundedMemoryTest, BlocksInFlightStayBelowTheRing) {
    const auto& [c, jobs] = GetParam();
    Builder b;
    for (int i = 0; i < 300; ++i) {
        b.File("f" + std::to_string(i), Pattern(1200, i), 100);  // 12 blocks each
    }
    c.apply(b);
    ASSERT_TRUE(Open(b.Build()));
    archive_->SetJobs(jobs);
    for (bool verify : {false, true}) {
        SCOPED_TRACE(verify ? "verify" : "extract");
        EntryRun run(*archive_);
        const int32_t result = verify ? run.Verify(entries_, count_, nullptr)
                                      : run.Extract(entries_, count_, u"\\out\\");
        EXPECT_EQ(result, -1);
        PackageProblem problem{};
        ASSERT_TRUE(archive_->LastProblem(&problem));
        EXPECT_EQ(problem.fault, c.fault);
        EXPECT_EQ(problem.entryIndex, c.entryIndex);
        EXPECT_GT(run.peakBlocksInFlight(), 1u);
        EXPECT_LE(run.peakBlocksInFlight(), kPipelineMaxSlots);
    }
    EXPECT_FALSE(Exists("out/f" + std::to_string(c.entryIndex + 1)));
}

INSTANTIATE_TEST_SUITE_P(Packages, BoundedMemoryTest,
                         ::testing::Combine(::testing::ValuesIn(kLateFailures),
                                            ::testing::Values(2u, 64u)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).what) + "_jobs" +
                                    std::to_string(std::get<1>(info.param));
                         });

// The decoders are compared with zlib by fuzz_inflate_diff, whose seeds every test run replays;
// what is left here is joining the CRC-32 of two parts, which extraction's threads rely on.
TEST(DecoderTest, CrcOfTwoPartsCombinesIntoTheWholesCrc) {
    const Bytes content = Pattern(5000, 3);
    EXPECT_EQ(
        block_codec::Crc32Combine(Crc(Bytes(content.begin(), content.begin() + 1234)),
                                  Crc(Bytes(content.begin() + 1234, content.end())), 5000 - 1234),
        Crc(content));
}

}  // namespace
}  // namespace pkgtest
