// Opening packages: the layout read to the byte, refused and tolerated damage, large catalogues.
#include "package/package_archive.h"

#include <cstring>
#include <filesystem>

#include "package/install_plan.h"
#include "package/package_contents.h"
#include "package/package_scan.h"
#include "platform/text.h"

#include "tests/package/package_fixture.h"

namespace pkgtest {
namespace {

class CatalogueTest : public DeviceTest {};

// The worked example, its fields the reader does not consult holding anything else.
TEST_F(CatalogueTest, ReadsTheWorkedExampleAndTheSmallestPackage) {
    Builder b;
    const Bytes content = Pattern(20000);
    b.File("a.txt", content);
    Bytes bytes = b.Build();
    ASSERT_EQ(b.entries[0].blocks.size(), 2u);
    const uint32_t x = b.entries[0].blocks[0].compressedSize;
    const uint32_t y = b.entries[0].blocks[1].compressedSize;
    ASSERT_EQ(bytes.size(), 103u + x + y);
    EXPECT_EQ(ReadLe32(&bytes[25 + x + y]), kPackageDirectorySignature);
    EXPECT_EQ(ReadLe32(&bytes[25 + x + y + 22]), 2u);           // blockCount
    EXPECT_EQ(ReadLe32(&bytes[80 + x + y + 6]), 55u);           // directorySize
    EXPECT_EQ(ReadLe32(&bytes[80 + x + y + 10]), 25u + x + y);  // directoryOffset
    EXPECT_EQ(bytes[101 + x + y], 7);
    EXPECT_EQ(bytes[102 + x + y], 0);
    for (size_t i = 0; i < 25; ++i) {
        bytes[i] ^= 0x5A;  // the whole local record and name
    }
    WriteLe16(&bytes[b.directoryStart + 4], 99);                   // versionMadeBy
    WriteLe16(&bytes[b.directoryStart + 10], 0);                   // method
    WriteLe32(&bytes[b.directoryStart + 26 + 5 + 8], 0xFFFFFFFF);  // a row's reserved word
    WriteLe32(&bytes[b.endStart + 10], 12345);                     // directoryOffset

    ASSERT_TRUE(Open(bytes));
    ASSERT_EQ(count_, 1u);
    PackageEntryInfo info;
    info.reserved = 0xA5A5A5A5u;
    ASSERT_EQ(PackageGetEntryInfo(archive_, entries_[0], &info), 1);
    EXPECT_EQ(info.crc, Crc(content));
    EXPECT_EQ(info.size, 20000u);
    EXPECT_EQ(info.compressedSize, x + y);
    EXPECT_EQ(std::u16string(info.name), u"a.txt");
    EXPECT_EQ(info.reserved, 0xA5A5A5A5u);
    EXPECT_STREQ(archive_->endRecord().comment, "\\SDMMC\\");
    ASSERT_EQ(PackageExtract(archive_, entries_, count_, u"\\out\\", nullptr, 0), 1);
    EXPECT_EQ(ReadHost("out/a.txt"), content) << "the data start at offset 25";

    Builder smallest;  // 17 bytes: no entries, a one-byte comment
    smallest.comment = "\\";
    ASSERT_EQ(smallest.Build().size(), 17u);
    ASSERT_TRUE(Open(smallest.Build()));
    EXPECT_EQ(count_, 0u);
    EXPECT_NE(entries_, nullptr);
}

// The whole file reaches the reader through the open file: replacing the file on disk changes
// nothing, a file that changed length is refused, and extraction is not disturbed.
TEST_F(CatalogueTest, ContentsAreReadThroughTheOpenFile) {
    Builder b;
    b.File("a.bin", Pattern(150000));
    const Bytes bytes = b.Build();
    ASSERT_TRUE(OpenFile(bytes));
    // Another file put in its place: the open file still reads the original.
    WriteHost("other.qzp", Bytes(bytes.size(), 0x55));
    std::filesystem::rename(root_ / "other.qzp", root_ / "pkg.qzp");
    Bytes seen;
    ASSERT_EQ(PackageReadContents(archive_, &AppendTo, &seen), 1);
    EXPECT_EQ(seen, bytes);
    ASSERT_EQ(PackageExtract(archive_, entries_, count_, u"\\out\\", nullptr, 0), 1);
    EXPECT_EQ(ReadHost("out/a.bin"), b.entries[0].content);

    auto stop = [](void*, const uint8_t*, uint32_t) -> int32_t { return -1; };
    EXPECT_EQ(PackageReadContents(archive_, stop, nullptr), 0);
    EXPECT_EQ(PackageReadContents(nullptr, &AppendTo, &seen), 0);

    // The same file shortened or lengthened in place no longer matches the length measured at
    // the open.
    for (const uintmax_t length : {bytes.size() - 1, bytes.size() + 1}) {
        ASSERT_TRUE(OpenFile(bytes));
        std::filesystem::resize_file(root_ / "pkg.qzp", length);
        seen.clear();
        EXPECT_EQ(PackageReadContents(archive_, &AppendTo, &seen), 0) << length;
    }
}

// Each row edits a valid two-file, three-entry package before it is laid out, or damages its
// bytes; every one must fail the open. The third entry's record, the last, is 30 bytes long.
struct Refusal {
    const char* what;
    void (*damage)(Builder&, Bytes&);
    void (*edit)(Builder&) = nullptr;
};

const Refusal kRefusals[] = {
    {"EmptyFile", [](Builder&, Bytes& b) { b.clear(); }},
    {"CommentLengthZero", nullptr, [](Builder& d) { d.commentLength = 0; }},
    {"CommentLongerThanFile", [](Builder&, Bytes& b) { b = Text(std::string("x\5\0", 3)); }},
    {"Comment260Bytes", nullptr, [](Builder& d) { d.comment = std::string(259, 'c') + "\\"; }},
    {"EndSignature", [](Builder& d, Bytes& b) { b[d.endStart + 1] ^= 0x01; }},
    {"EndRecordCutShort",
     [](Builder& d, Bytes& b) { b.erase(b.begin(), b.begin() + d.endStart + 4); }},
    {"DirectoryBeforeFileStart",
     [](Builder& d, Bytes& b) { WriteLe32(&b[d.endStart + 6], static_cast<uint32_t>(b.size())); }},
    {"ThirdRecordSignature", [](Builder& d, Bytes& b) { b[d.endStart - 30] = 0x00; }},
    {"EntryCountBeyondRecords", nullptr, [](Builder& d) { d.entryCount = 4; }},
    {"NameOver259Bytes", nullptr, [](Builder& d) { d.entries[2].name = std::string(260, 'n'); }},
    {"NameRunsPastDirectory",
     [](Builder& d, Bytes& b) { WriteLe16(&b[d.endStart - 30 + 20], 200); }},
    {"BlockTableRunsPastDirectory",
     [](Builder& d, Bytes& b) { WriteLe32(&b[d.directoryStart + 22], 0x20000000u); }},
    {"CompressedBlockOver16639", nullptr,
     [](Builder& d) { d.entries[0].blocks[0].compressedSize = 16640; }},
    {"UncompressedBlockOver65535", nullptr,
     [](Builder& d) { d.entries[0].blocks[0].uncompressedSize = 65536; }},
    // Entries whose data together pass 2 GiB, each one within its own 32-bit total.
    {"DataTotalOver2GiB", nullptr,
     [](Builder& d) {
         d.entries[0].blocks.assign(65000, Block{1, 16639, {}});
         d.entries[1].blocks.assign(65000, Block{1, 16639, {}});
     }},
    {"UncompressedTotalOver32Bits", nullptr,
     [](Builder& d) {
         d.entries[2].blocks.assign(65538, Block{65535, 10, {}});
     }},
};

TEST_F(CatalogueTest, RefusedPackagesFailTheOpenAndReleaseEverything) {
    for (const Refusal& r : kRefusals) {
        SCOPED_TRACE(r.what);
        Builder b;
        b.File("a.txt", Pattern(100));
        b.File("b.txt", Pattern(30000, 2));
        b.Directory("dir\\");
        ASSERT_TRUE(Open(b.Build()));
        Close();
        if (r.edit != nullptr) {
            r.edit(b);
        }
        Bytes bytes = b.Build();
        if (r.damage != nullptr) {
            r.damage(b, bytes);
        }
        PackageArchive* archive = reinterpret_cast<PackageArchive*>(1);
        PackageEntry** entries = nullptr;
        uint32_t count = 77;
        EXPECT_EQ(PackageOpenBytes(bytes, &archive, &entries, &count, 0), 0);
        EXPECT_EQ(archive, nullptr);
        EXPECT_EQ(count, 77u);
    }
}

TEST_F(CatalogueTest, MissingFilesAndForeignEntryPointersAreRefused) {
    EXPECT_EQ(PackageOpen(u"\\missing.qzp", &archive_, &entries_, &count_, 0), 0);
    EXPECT_EQ(archive_, nullptr);
    EXPECT_EQ(PackageOpen(nullptr, &archive_, &entries_, &count_, 0), 0);
    PackageClose(nullptr);
    Builder b;
    b.File("a", Pattern(5));
    b.File("b", Pattern(5));
    const Bytes bytes = b.Build();
    ASSERT_TRUE(Open(bytes));
    PackageArchive* other = nullptr;
    PackageEntry** otherEntries = nullptr;
    uint32_t otherCount = 0;
    ASSERT_EQ(PackageOpenBytes(bytes, &other, &otherEntries, &otherCount, 0), 1);

    PackageEntry local;
    const PackageEntry* misaligned =
        reinterpret_cast<const PackageEntry*>(reinterpret_cast<const char*>(entries_[0]) + 1);
    const PackageEntry* foreigners[] = {otherEntries[0], otherEntries[1], &local,
                                        misaligned,      entries_[0] + 2, nullptr};
    PackageEntryInfo info;
    for (const PackageEntry* foreign : foreigners) {
        EXPECT_EQ(archive_->FindEntry(foreign), nullptr);
        std::memset(&info, 0x33, sizeof info);
        EXPECT_EQ(PackageGetEntryInfo(archive_, const_cast<PackageEntry*>(foreign), &info), 0);
        EXPECT_EQ(info.crc, 0x33333333u) << "the record is left untouched";
    }
    EXPECT_EQ(PackageGetEntryInfo(nullptr, entries_[0], &info), 0);
    PackageClose(other);
}

// The largest catalogue, its directory far larger than the work buffer: 65,534 directory
// entries, some with long names, and one file at the end; its names left in the package, as a
// catalogue of long names leaves them, and read again through the window (limit 0), or kept
// deflated in pieces (a limit under their raw size).
TEST_F(CatalogueTest, LargestCatalogueOpensListsAndExtracts) {
    Builder b;
    for (uint32_t k = 0; k + 1 < kPackageMaxEntries; ++k) {
        b.Directory(k % 100 == 0 ? "d\\" + std::string(200, 'p') + std::to_string(k) : "d\\");
    }
    const Bytes content = Pattern(3000);
    b.File("d\\läst.bin", content);
    const Bytes built = b.Build();
    PackageEntryInfo info;
    for (const uint32_t limit : {64u * 1024, 0u}) {
        PackageArchive::SetKeptNameBytes(limit);
        const bool opened = Open(built);
        PackageArchive::SetKeptNameBytes(PackageArchive::kKeptNameBytes);
        ASSERT_TRUE(opened);
        ASSERT_EQ(count_, kPackageMaxEntries);
        const uint64_t read = archive_->bytesRead();
        for (uint32_t k = 0; k < count_; ++k) {
            ASSERT_EQ(PackageGetEntryInfo(archive_, entries_[k], &info), 1);
            if (k % 100 == 0 && k + 1 < count_) {
                ASSERT_EQ(std::u16string(info.name).substr(202),
                          platform::Utf8ToUtf16(std::to_string(k)));
            }
        }
        EXPECT_EQ(archive_->bytesRead() == read, limit > 0) << "deflated names read no card";
        EXPECT_EQ(std::u16string(info.name), u"d\\läst.bin");
        EXPECT_EQ(info.size, 3000u);
        // A plan reads the names in one pass, not one per check: the directory about once more
        // (windows overlap by a name where one is cut).
        const uint64_t planned = archive_->bytesRead();
        PlanOptions options;
        options.manifestRules = true;
        InstallPlan names;
        ASSERT_EQ(PlanPackage(archive_, entries_, count_, options, names), 1);
        EXPECT_LE(archive_->bytesRead() - planned, archive_->endRecord().directorySize * 3 / 2);
        // The extraction plans so too, and takes each name beside the entry's data.
        const uint64_t extracting = archive_->bytesRead();
        ASSERT_EQ(PackageExtract(archive_, entries_, count_, u"\\out\\", nullptr, 0), 1);
        EXPECT_LE(archive_->bytesRead() - extracting, archive_->endRecord().directorySize * 3 / 2);
        EXPECT_EQ(ReadHost("out/d/läst.bin"), content);
    }

    // A name changed in the package since the open (the first's first byte) is refused, not read.
    package_[b.directoryStart + 26] ^= 1;
    EXPECT_EQ(PackageGetEntryInfo(archive_, entries_[0], &info), 0);
    InstallPlan plan;
    EXPECT_EQ(PlanPackage(archive_, entries_, count_, {}, plan), 0);
    EXPECT_EQ(PackageExtract(archive_, entries_, count_, u"\\out\\", nullptr, 0), 0);
}

// The plan of the names made while the directory is parsed is the one PlanPackage makes after the
// open, whether the catalogue keeps its names, keeps them deflated or leaves them in the package
// (a name asked for again during the parse is read from there); and where the names stay in the
// package, the open and its plan read the directory once, and a scan tells a complete plan the
// names as it passes the directory on.
TEST_F(CatalogueTest, NamesPlannedAtTheOpenAsAfterIt) {
    const auto build = [](const std::string& last, bool lastIsDirectory) {
        Builder b;
        b.Directory("VORIZ\\");
        b.File("VORIZ\\INDEX.INI", Pattern(40));
        for (int k = 0; k < 200; ++k) {
            b.File("VORIZ\\Maps\\tile" + std::to_string(1000 + k) + ".dat", Pattern(5));
        }
        if (lastIsDirectory) {
            b.Directory(last);
        } else {
            b.File(last, Pattern(5));
        }
        return b.Build();
    };
    const struct {
        const char* what;
        Bytes package;
        PlanFault fault;
    } cases[] = {
        {"good", build("VORIZ\\Maps\\last.dat", false), PlanFault::kNone},
        {"bad last name", build("VORIZ\\a<b", false), PlanFault::kBadLevel},
        {"second manifest", build("voriz\\index.ini", false), PlanFault::kSecondManifest},
        {"an earlier file's path again as a folder", build("voriz\\MAPS\\TILE1000.DAT\\", true),
         PlanFault::kSamePath},
    };
    PlanOptions options;
    options.manifestRules = true;
    options.verdictOnly = true;
    for (const auto& c : cases) {
        for (const uint32_t limit : {PackageArchive::kKeptNameBytes, 2048u, 0u}) {
            SCOPED_TRACE(std::string(c.what) + ", names kept up to " + std::to_string(limit));
            PackageArchive::SetKeptNameBytes(limit);
            ASSERT_TRUE(OpenFile(c.package));
            const uint64_t opened = archive_->bytesRead();
            Close();
            InstallPlan atOpen;
            int32_t planned = -1;
            const bool open = PackageOpenPlanned(u"\\pkg.qzp", &archive_, &entries_, &count_, 0,
                                                 options, atOpen, &planned) == 1;
            PackageArchive::SetKeptNameBytes(PackageArchive::kKeptNameBytes);
            ASSERT_TRUE(open);
            if (c.fault == PlanFault::kNone) {
                EXPECT_EQ(archive_->bytesRead(), opened) << "the names were read again";
            }
            InstallPlan after;
            EXPECT_EQ(planned, PlanPackage(archive_, entries_, count_, options, after));
            EXPECT_EQ(atOpen.fault, c.fault);
            EXPECT_EQ(atOpen.fault, after.fault);
            EXPECT_EQ(atOpen.faultEntry, after.faultEntry);
            EXPECT_EQ(atOpen.manifest, after.manifest);
            EXPECT_EQ(atOpen.replaces, after.replaces);

            // The complete plan, told the names as a scan passes the directory on: the plan
            // made after it, from no reads besides the scan's own.
            PlanOptions full;
            full.target = u"\\out\\";
            full.manifestRules = true;
            InstallPlan inScan;
            CatalogueNamesPlan feed(full, inScan);
            bool named = false;
            PackageScanHooks hooks;
            hooks.tailNames = [](void* f) { return static_cast<CatalogueNameFeed*>(f); };
            hooks.tailNamesContext = &feed;
            hooks.tailNamed = &named;
            const uint64_t scanning = archive_->bytesRead();
            ASSERT_EQ(PackageScan(archive_, hooks, nullptr), 1);
            EXPECT_EQ(archive_->bytesRead() - scanning, c.package.size() - opened + 1);
            EXPECT_EQ(named, limit == 0) << "told only names left in the package";
            if (named) {
                const int32_t scanned = feed.End();
                InstallPlan plan;
                EXPECT_EQ(scanned, PlanPackage(archive_, entries_, count_, full, plan));
                EXPECT_EQ(inScan.fault, plan.fault);
                EXPECT_EQ(inScan.faultEntry, plan.faultEntry);
                EXPECT_EQ(inScan.order, plan.order);
                EXPECT_EQ(inScan.steps.size(), plan.steps.size());
                EXPECT_EQ(inScan.newDirectoryCount, plan.newDirectoryCount);
            }
        }
    }
}

// An extraction whose names stay in the package takes each from the local record it reads with
// the entry's data, on one thread or several: it reads the data area and the directory (its plan)
// once, not each name again.
TEST_F(CatalogueTest, ExtractionReadsNamesWithTheData) {
    Builder b;
    for (int k = 0; k < 300; ++k) {
        b.File("f" + std::to_string(k) + std::string(200, 'n'), Pattern(100 + k));
    }
    const Bytes built = b.Build();
    for (const uint32_t jobs : {1u, 2u}) {
        SCOPED_TRACE(jobs);
        PackageArchive::SetKeptNameBytes(0);
        const bool opened = OpenFile(built);
        PackageArchive::SetKeptNameBytes(PackageArchive::kKeptNameBytes);
        ASSERT_TRUE(opened);
        PackageSetJobs(archive_, jobs);
        const uint64_t before = archive_->bytesRead();
        ASSERT_EQ(PackageExtract(archive_, entries_, count_, u"\\out\\", nullptr, 0), 1);
        EXPECT_LE(archive_->bytesRead() - before,
                  b.directoryStart + archive_->endRecord().directorySize * 11 / 10);
        EXPECT_EQ(ReadHost("out/f299" + std::string(200, 'n')), b.entries[299].content);
    }
}

}  // namespace
}  // namespace pkgtest
