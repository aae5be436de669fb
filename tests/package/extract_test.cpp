// Extraction: where entries land, progress, damage that stops the call (verification and the
// scan agreeing), path lengths, threads and memory.
#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>

#include "package/block_pipeline.h"
#include "package/extract.h"
#include "package/package_archive.h"
#include "package/package_scan.h"
#include "package/verify.h"
#include "platform/fault.h"
#include "platform/text.h"
#include "tests/package/package_fixture.h"

namespace pkgtest {
namespace {

// Every directory and progress call in order, progress with the file writes made so far.
std::vector<std::string> g_events;
int32_t RecordDirectory(const char16_t* path) {
    g_events.push_back("mkdir " + platform::Utf16ToUtf8(path));
    return MakeDirectory(path);
}

struct ProgressCall {
    uint64_t total, done;
    std::u16string name;
    uint64_t entry, entryDone;
    uint32_t first;
    bool operator==(const ProgressCall&) const = default;
};
std::vector<ProgressCall> g_progress;
void RecordProgress(uint32_t totalLow, uint32_t totalHigh, uint32_t doneLow, uint32_t doneHigh,
                    const char16_t* name, uint32_t entryLow, uint32_t entryHigh,
                    uint32_t entryDoneLow, uint32_t entryDoneHigh, uint32_t first) {
    auto join = [](uint32_t low, uint32_t high) { return (uint64_t{high} << 32) | low; };
    g_progress.push_back({join(totalLow, totalHigh), join(doneLow, doneHigh), name,
                          join(entryLow, entryHigh), join(entryDoneLow, entryDoneHigh), first});
    const ProgressCall& c = g_progress.back();
    g_events.push_back("progress " + std::to_string(c.total) + " " + std::to_string(c.done) + " " +
                       platform::Utf16ToUtf8(name) + " " + std::to_string(c.entry) + " " +
                       std::to_string(c.entryDone) + " " + std::to_string(first) + " writes " +
                       std::to_string(platform::fault::WriteCount()));
}

using F = PackageFault;

auto Fields(const PackageProblem& p) {
    return std::tie(p.fault, p.entryIndex, p.block, p.expected, p.actual);
}

class ExtractTest : public DeviceTest {
  protected:
    // Extraction through the archive's own operations, or verification without a target,
    // recording directories and progress afresh.
    int32_t Extract(std::vector<PackageEntry*> list, const char16_t* target = u"\\out\\",
                    bool verify = false) {
        g_progress.clear();
        PlainProgress progress(&RecordProgress);
        EntryRun run(*archive_, progress.progress(), &RecordDirectory);
        const uint32_t count = static_cast<uint32_t>(list.size());
        return verify ? run.Verify(list.data(), count, nullptr)
                      : run.Extract(list.data(), count, target);
    }
    PackageFault LastFault() {
        PackageProblem problem{};
        return PackageLastProblem(archive_, &problem) == 1 ? problem.fault : PackageFault::kNone;
    }
};

// A failed call leaves the package open whatever the close flag says.
TEST_F(ExtractTest, EmptyListsFailAndOnlyTheLowByteOfTheCloseFlagCounts) {
    Builder b;
    b.File("a", Text("a"));
    b.File("bad", Text("b")).crc ^= 1;
    ASSERT_TRUE(Open(b.Build()));
    EXPECT_EQ(PackageExtract(archive_, entries_, 0, u"\\out\\", &RecordProgress, 1), 0);
    EXPECT_EQ(PackageExtract(archive_, &entries_[1], 1, u"\\out\\", nullptr, 1), 0);
    EXPECT_EQ(PackageLastProblem(archive_, nullptr), 1);
    EXPECT_EQ(PackageExtract(nullptr, entries_, 1, u"\\out\\", &RecordProgress, 1), 0);
    ASSERT_EQ(PackageExtract(archive_, entries_, 1, u"\\out\\", nullptr, 0x100), 1);
    ASSERT_EQ(PackageExtract(archive_, entries_, 1, u"\\out\\", nullptr, 1), 1);
    archive_ = nullptr;  // closed by the call
}

// One call of extraction each, after a call that failed: where each entry lands, which
// directories are made (a file's parents only when it cannot be opened at once), and what fails.
// Each entry's data are found from the directory alone, plain and behind a prefix.
struct ExtractCase {
    const char* what;
    const char* list;        // indices into the package below; '-': an entry of no catalogue
    const char16_t* target;  // null: the package comment
    PackageFault fault;      // kNone: the call succeeds
    const char* files;       // every file under \out afterwards: "path=contents;" in path order
    const char* made;        // the directories made, in order: "path;"
};

const ExtractCase kExtractCases[] = {
    // The empty piece of VORIZ\\a.txt is skipped.
    {"FilesAndTheirParents", "2354", u"\\out\\", F::kNone,
     "A/B/file.txt=1;A/again.txt=3;C/f=2;VORIZ/a.txt=4;",
     "\\out\\A;\\out\\A\\B;\\out\\C;\\out\\VORIZ;"},
    {"DirectoryEntries", "01", u"\\out\\", F::kNone, "", "\\out\\plain;\\out\\slashed;"},
    {"OutOfOrderAndRepeated", "636", u"\\out\\", F::kNone, "C/f=2;f.txt=new;", "\\out\\C;"},
    {"TargetIsTheComment", "6", nullptr, F::kNone, "f.txt=new;", ""},
    {"TargetJoinedWithoutSeparator", "6", u"\\out\\Dir", F::kNone, "Dirf.txt=new;", ""},
    {"ForeignEntrySkipped", "-3", u"\\out\\", F::kNotInCatalogue, "C/f=2;", "\\out\\C;"},
};

TEST_F(ExtractTest, ListsWriteExactlyTheListedEntries) {
    Builder b;
    b.comment = "\\out\\";
    b.Directory("plain");
    b.Directory("slashed\\");
    b.File("A\\B\\file.txt", Text("1"));
    b.File("\\C\\f", Text("2"));
    b.File("A\\again.txt", Text("3"));
    b.File("VORIZ\\\\a.txt", Text("4"));
    b.File("f.txt", Text("new"));
    b.File("bad", Pattern(3000)).crc ^= 1;
    for (const ExtractCase& c : kExtractCases) {
        for (int32_t prefixed : {0, 1}) {
            SCOPED_TRACE(std::string(c.what) + (prefixed ? " prefixed" : ""));
            std::filesystem::remove_all(root_ / "out");
            std::filesystem::create_directory(root_ / "out");
            ASSERT_TRUE(Open(b.Build(prefixed ? Pattern(777, 9) : Bytes()), prefixed));
            ASSERT_EQ(Extract({entries_[7]}, u"\\"), -1);
            g_events.clear();
            PackageEntry foreign;
            std::vector<PackageEntry*> list;
            for (const char k : std::string(c.list)) {
                list.push_back(k == '-' ? &foreign : entries_[k - '0']);
            }
            EXPECT_EQ(Extract(list, c.target), c.fault == PackageFault::kNone ? 0 : -1);
            EXPECT_EQ(LastFault(), c.fault);
            std::string made, files;
            for (const std::string& event : g_events) {
                made += event.starts_with("mkdir ") ? event.substr(6) + ";" : "";
            }
            for (const std::string& path : Tree()) {
                if (path.starts_with("out/") && std::filesystem::is_regular_file(root_ / path)) {
                    const Bytes bytes = ReadHost(path);
                    files += path.substr(4) + "=" + std::string(bytes.begin(), bytes.end()) + ";";
                }
            }
            EXPECT_EQ(made, c.made);
            EXPECT_EQ(files, c.files);
        }
    }
}

// Progress counts compressed bytes per block, alike for extraction and verification;
// directories report none, so never a total of 0. A total past 4 GiB (a 300 MB entry whose data
// are not in the file, listed 15 times) is carried whole by the first call.
TEST_F(ExtractTest, ProgressCountsCompressedBytesPerBlock) {
    Builder b;
    b.File("one", Pattern(40000), 16384);  // three blocks
    b.Directory("d");
    b.File("two", Pattern(10));
    b.Directory("huge").blocks.assign(18000, Block{16384, 16639, {}});
    ASSERT_TRUE(Open(b.Build()));
    const uint64_t c0 = archive_->FindEntry(entries_[0])->CompressedTotal();
    const uint64_t c2 = archive_->FindEntry(entries_[2])->CompressedTotal();
    std::vector<PackageEntry*> huge(16, entries_[3]);
    huge[0] = entries_[0];
    ASSERT_GT(c0 + 15ull * 18000 * 16639, 0xFFFFFFFFull);
    for (bool verify : {false, true}) {
        SCOPED_TRACE(verify);
        EXPECT_EQ(Extract(huge, u"\\out\\", verify), -1);
        EXPECT_EQ(LastFault(), PackageFault::kInflate);  // "huge" reads directory bytes
        ASSERT_EQ(g_progress.size(), 3u);
        EXPECT_EQ(g_progress[0].total, c0 + 15ull * 18000 * 16639);

        ASSERT_EQ(Extract({entries_[0], entries_[1], entries_[2]}, u"\\out\\", verify), 0);
        std::vector<ProgressCall> expected;
        uint64_t done = 0;
        for (uint32_t i = 0; i < 3; ++i) {
            done += b.entries[0].blocks[i].compressedSize;
            expected.push_back({c0 + c2, done, u"one", c0, done, i == 0 ? 1u : 0u});
        }
        expected.push_back({c0 + c2, c0 + c2, u"two", c2, c2, 1});
        EXPECT_EQ(g_progress, expected);
        EXPECT_EQ(PackageVerify(archive_, entries_, 0, nullptr, nullptr, nullptr), 1);
        EXPECT_EQ(PackageLastProblem(archive_, nullptr), 0);
    }
}

// An existing file is replaced only by a complete, checked copy; a new file is written in place.
TEST_F(ExtractTest, ExistingFilesAreReplacedWhole) {
    Builder b;
    b.File("keep.txt", Pattern(30000, 4));
    b.File("bad.txt", Pattern(30000, 5)).crc ^= 1;
    ASSERT_TRUE(Open(b.Build()));
    WriteHost("out/keep.txt", Pattern(40000, 6));  // longer than what replaces it
    WriteHost("out/bad.txt", Text("old bad"));
    WriteHost("out/~qzpnew.tmp", Text("a file of the tree at the scratch name"));
    EXPECT_EQ(Extract({entries_[0], entries_[1]}), -1);
    EXPECT_EQ(ReadHost("out/keep.txt"), Pattern(30000, 4));
    EXPECT_EQ(ReadHost("out/bad.txt"), Text("old bad")) << "a failed entry keeps the old file";
    EXPECT_EQ(ReadHost("out/~qzpnew.tmp"), Text("a file of the tree at the scratch name"));
    EXPECT_FALSE(Exists("out/_qzpnew.tmp")) << "the scratch file never outlives an entry";
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

// Joined paths over 259 units are refused before anything is written, a check against the same
// target refusing them too; the plan counts the units (install_plan_test).
TEST_F(ExtractTest, JoinedPathsOver259UnitsFailBeforeCreatingAnything) {
    const std::string fits(259 - 5, 'n');       // "\out\" + name = 259 units
    const std::string longDirectory(245, 'L');  // "\out\" + 245 + "\f" fits, "~qzpnew.tmp" not
    Builder b;
    b.File(fits, Text("ok"));
    b.File("deep\\" + std::string(250, 'm'), Text("no"));
    b.Directory(std::string(255, 'd'));
    b.File(longDirectory + "\\f", Text("short name"));
    b.File("short", Text("s"));
    ASSERT_TRUE(Open(b.Build()));
    for (uint32_t k : {1u, 2u}) {
        const auto before = Tree();
        EXPECT_EQ(Extract({entries_[k]}), -1);
        EXPECT_EQ(LastFault(), PackageFault::kPathTooLong);
        EXPECT_EQ(Tree(), before);
        PackageProblem problem{};
        EXPECT_EQ(PackageVerify(archive_, &entries_[k], 1, nullptr, nullptr, &problem), 1);
        EXPECT_EQ(PackageVerify(archive_, &entries_[k], 1, u"\\out\\", nullptr, &problem), 0);
        EXPECT_EQ(problem.fault, PackageFault::kPathTooLong);
    }
    EXPECT_EQ(Extract({entries_[0]}), 0);
    EXPECT_EQ(ReadHost("out/" + fits), Text("ok"));
    // A file whose path fits can always be replaced: the scratch name shrinks with the room.
    WriteHost("out/" + longDirectory + "/f", Text("old"));
    EXPECT_EQ(Extract({entries_[3]}), 0) << "replaced through the scratch name ~qzpnew";
    EXPECT_EQ(ReadHost("out/" + longDirectory + "/f"), Text("short name"));
    EXPECT_FALSE(Exists("out/" + longDirectory + "/~qzpnew"));

    // Unpacked for the flash volume's folder into a host folder longer than the device allows:
    // that folder counts toward the limit, not the host's path, for new and replaced files alike.
    const std::string level(150, 'h'), host = "out/" + level + "/" + level;
    std::filesystem::create_directories(root_ / host);
    const std::u16string hostTarget =
        platform::Utf8ToUtf16("\\out\\" + level + "\\" + level + "\\");
    ASSERT_EQ(PackageSetLimitFolder(archive_, u"\\ResidentFlash2\\"), 1);
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(Extract({entries_[4]}, hostTarget.c_str()), 0);
    }
    EXPECT_EQ(ReadHost(host + "/short"), Text("s"));
    EXPECT_EQ(Extract({entries_[0]}, hostTarget.c_str()), -1) << "16 + 254 units on the device";
    EXPECT_EQ(LastFault(), PackageFault::kPathTooLong);
}

// Decoding on several threads must change nothing observable. Each case runs once with one job,
// recording every directory call, every progress call (with the number of file writes made so
// far) and the result, then again with more jobs into a fresh directory; both records, the
// problems and the trees with their contents must be identical. Damage stops the call at its
// entry: the entries before it complete, those after it never created; verification without a
// target writes nothing, and a scan with either job count hands on the file's own bytes, both
// naming the same problem.
struct JobsCase {
    const char* what;
    void (*apply)(Builder&);  // damage to the package the test builds; null: none
    PackageFault fault;       // of the recorded call
    uint32_t entry;           // the entry that fails
    bool prefixed = false;
    uint64_t failAtWrite = 0;  // 0: every write succeeds
    bool verify = false;       // PackageVerify into \out\ instead of PackageExtract
};

const JobsCase kJobsCases[] = {
    {"Intact", nullptr, F::kNone, 0},
    // Bytes between the last entry's data and the directory belong to no entry.
    {"GapBeforeDirectory",
     [](Builder& b) {
         b.entries.back().blocks[0].data.insert(b.entries.back().blocks[0].data.end(), 5000, 0xEE);
     },
     F::kNone, 0},
    // Directory records beyond the entry count, and a comment past a NUL: tail bytes the
    // catalogue does not hold are handed on all the same.
    {"UncountedRecords",
     [](Builder& b) {
         b.entryCount = 4;
         b.comment = std::string("\\SDMMC\\\0z", 9);
     },
     F::kNone, 0},
    {"CrcMismatch", [](Builder& b) { b.entries[1].crc ^= 1; }, F::kCrcMismatch, 1},
    {"SizeMismatch", [](Builder& b) { b.entries[1].blocks[1].uncompressedSize -= 1; },
     F::kSizeMismatch, 1},
    {"InflatesShort", [](Builder& b) { b.entries[1].blocks[1].uncompressedSize += 1; },
     F::kSizeMismatch, 1},
    {"InflateError", [](Builder& b) { b.entries[1].blocks[0].data[5] ^= 0xFF; }, F::kInflate, 1},
    {"InflateErrorPrefixed", [](Builder& b) { b.entries[3].blocks[0].data[2] ^= 0xFF; },
     F::kInflate, 3, true},
    {"EmptyBlock", [](Builder& b) { b.entries[1].blocks.emplace_back(); }, F::kInflate, 1},
    {"InflatesPastWorkBuffer",
     [](Builder& b) {
         const Bytes big(70000, 'z');
         const Bytes packed = Compress(big.data(), big.size());
         b.entries[1].blocks[0] = {65535, static_cast<uint32_t>(packed.size()), packed};
     },
     F::kInflate, 1},
    // zlib (the device's decoder) refuses it as "invalid bit length repeat"; libdeflate inflates
    // it to its data, Adler-32 included.
    {"CodeLengthsOverrunTheirTable",
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
     },
     F::kInflate, 1},
    {"LateEntryDamaged", [](Builder& b) { b.entries[30].blocks[0].data[3] ^= 0x40; }, F::kInflate,
     30},
    // The last block reaches past the end of the file: a short read after everything else.
    {"PastTheEnd", [](Builder& b) { b.entries.back().blocks[0].compressedSize = 16000; },
     F::kShortRead, 44},
    // Every block fails late (its checksum is the last thing inflated).
    {"EveryBlockChecksum",
     [](Builder& b) {
         for (Entry& e : b.entries) {
             for (Block& block : e.blocks) {
                 block.data.back() ^= 1;  // the stream's Adler-32
             }
         }
     },
     F::kInflate, 0},
    {"FailedWrite", nullptr, F::kShortWrite, 4, false, 9},
    {"FailedWritePrefixed", nullptr, F::kShortWrite, 14, true, 30},
    {"VerifyIntact", nullptr, F::kNone, 0, false, 0, true},
    {"VerifyLateDamage", [](Builder& b) { b.entries[30].crc ^= 4; }, F::kCrcMismatch, 30, true, 0,
     true},
    {"VerifyLastEntryCrc", [](Builder& b) { b.entries.back().crc ^= 1; }, F::kCrcMismatch, 44,
     false, 0, true},
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
        PlainProgress progress(&RecordProgress);
        EntryRun run(*archive_, progress.progress(), &RecordDirectory);
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
    // Directories, nested files whose parents appear on first use, multi-block and tiny files, and
    // a second entry with two blocks that the damages hit.
    Builder b;
    b.File("first.txt", Pattern(500));
    b.File("second.txt", Pattern(20000, 2), 10000);
    b.Directory("dir\\");
    b.File("dir\\big.bin", Pattern(70000, 3));
    for (int i = 0; i < 40; ++i) {
        b.File("d" + std::to_string(i % 5) + "\\sub\\f" + std::to_string(i), Pattern(1 + i * 97, i),
               300);
    }
    b.File("last.txt", Pattern(300, 4));
    if (c.apply != nullptr) {
        c.apply(b);
    }
    const Bytes file = b.Build(c.prefixed ? Pattern(333, 8) : Bytes());
    ASSERT_TRUE(Open(file, c.prefixed ? 1 : 0));
    // What reading alone finds: a failed write is no damage.
    const bool whole = c.fault == PackageFault::kNone || c.failAtWrite != 0;
    const auto before = Tree();
    PackageProblem verified{};
    EXPECT_EQ(PackageVerify(archive_, entries_, count_, nullptr, nullptr, &verified), whole);
    EXPECT_EQ(verified.fault, whole ? PackageFault::kNone : c.fault);
    EXPECT_EQ(verified.entryIndex, whole ? 0 : c.entry);
    EXPECT_EQ(Tree(), before);
    if (c.fault == PackageFault::kCrcMismatch) {  // the stored and the computed value
        EXPECT_EQ(verified.actual, Crc(b.entries[c.entry].content));
        EXPECT_EQ(verified.expected, b.entries[c.entry].crc);
        EXPECT_STREQ(PackageFaultText(verified.fault), "CRC-32 mismatch");
    }
    for (uint32_t scanJobs : {1u, jobs}) {
        SCOPED_TRACE(scanJobs);
        PackageSetJobs(archive_, scanJobs);
        Bytes contents;
        PackageProblem scanned{};
        const PackageScanHooks hooks{.contents = &AppendTo, .contentsContext = &contents};
        EXPECT_EQ(PackageScan(archive_, hooks, &scanned), whole);
        EXPECT_EQ(Fields(scanned), Fields(verified));
        ASSERT_LE(contents.size(), file.size());
        EXPECT_TRUE(std::equal(contents.begin(), contents.end(), file.begin()));
        EXPECT_TRUE(!whole || contents.size() == file.size());
    }

    const Record reference = Run(1);
    const Record parallel = Run(jobs);
    EXPECT_EQ(parallel.events, reference.events);
    EXPECT_EQ(parallel.result, reference.result);
    EXPECT_EQ(Fields(parallel.problem), Fields(reference.problem));
    EXPECT_EQ(parallel.files, reference.files);
    EXPECT_GT(parallel.peakBlocksInFlight, 1u) << "the run was not spread over threads";
    EXPECT_LE(parallel.peakBlocksInFlight, kPipelineMaxSlots) << "however many blocks and jobs";
    EXPECT_EQ(reference.result, c.fault == PackageFault::kNone ? 0 : -1);
    EXPECT_EQ(reference.problem.fault, c.fault) << PackageFaultText(reference.problem.fault);
    EXPECT_EQ(reference.problem.entryIndex, c.entry);
    const uint32_t stop = c.fault == PackageFault::kNone ? count_ : c.entry;
    for (uint32_t k = 0; k < count_ && !c.verify; ++k) {
        std::string path = "out/" + b.entries[k].name;
        std::replace(path.begin(), path.end(), '\\', '/');
        if (k > stop) {
            EXPECT_FALSE(Exists(path)) << path;
        } else if (k < stop) {
            EXPECT_EQ(b.entries[k].blocks.empty() ? Bytes() : ReadHost(path), b.entries[k].content);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, JobsTest,
                         ::testing::Combine(::testing::ValuesIn(kJobsCases),
                                            ::testing::Values(2u, 64u)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).what) + "_jobs" +
                                    std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace pkgtest
