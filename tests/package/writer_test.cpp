// PackageWriter and the tree walk: packages are compared byte for byte with the test builder's
// independent layout, read back through the package library, and damaged on purpose.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "package/pack_tree.h"
#include "package/package.h"
#include "package/writer.h"
#include "platform/fault.h"
#include "platform/text.h"
#include "tests/package/package_fixture.h"

namespace {

namespace fs = std::filesystem;

// The device root of pkgtest::DeviceTest, with host paths taken as UTF-8.
class WriterTest : public pkgtest::DeviceTest {
  public:
    fs::path Host(const std::string& relative) const {
        return root_ / fs::path(std::u8string(relative.begin(), relative.end()));
    }
    void Put(const std::string& relative, const std::string& bytes) const {
        fs::create_directories(Host(relative).parent_path());
        std::ofstream(Host(relative), std::ios::binary) << bytes;
    }

    // The package the test builder lays out, record by record and independently of the writer,
    // for `items` with the contents of their sources.
    pkgtest::Bytes Expected(const std::vector<PackItem>& items, int level = -1,
                            const std::string& comment = "\\SDMMC\\") {
        pkgtest::Builder builder;
        builder.comment = comment;
        for (const PackItem& item : items) {
            if (item.source.empty()) {
                builder.Directory(item.name);
            } else {
                std::string host = platform::Utf16ToUtf8(item.source).substr(1);
                std::replace(host.begin(), host.end(), '\\', '/');
                builder.File(item.name, ReadHost(host), kPackageBlockSize, level);
            }
        }
        return builder.Build();
    }
};

std::u16string Device(const std::string& relative) {
    return platform::Utf8ToUtf16("\\" + relative);
}

// Incompressible bytes: an entry of over a mebibyte of them is streamed and its CRC-32 patched.
std::string Noise(std::size_t size) {
    std::mt19937 random(5);
    std::string bytes(size, 0);
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

// A tree under "src": sizes around the block boundaries, nested and non-ASCII names, an empty
// directory, incompressible entries (one streamed). Returns the path below "src" -> contents of
// every file.
std::vector<std::pair<std::string, std::string>> MakeTree(const WriterTest& scratch) {
    static const struct {
        const char* name;
        std::size_t size;
        bool noise;
    } kFiles[] = {
        {"a.bin", 1, false},
        {"z-9", 2, true},
        {"VORIZ/Ünïcødé.txt", 16383, false},
        {"VORIZ/sub dir/日本語", 16384, true},
        {"Ordner_ä/deep/x", 16385, false},
        {"deep/long name.dat", 49153, true},
        {"ß", 70000, false},
        {"big.bin", 1300000, true},
    };
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& f : kFiles) {
        const pkgtest::Bytes pattern =
            pkgtest::Pattern(f.size, static_cast<uint32_t>(files.size()));
        const std::string bytes =
            f.noise ? Noise(f.size) : std::string(pattern.begin(), pattern.end());
        scratch.Put(std::string("src/") + f.name, bytes);
        files.emplace_back(f.name, bytes);
    }
    fs::create_directories(scratch.Host("src/empty dir/inner"));
    return files;
}

std::vector<PackItem> Collect(const std::string& relative) {
    PackTreeResult tree;
    EXPECT_EQ(CollectPackTree(Device(relative), tree), 0) << tree.errorPath << ": " << tree.error;
    return tree.items;
}

// Every level and job count gives the independent layout's bytes.
class WriterRoundTrip : public WriterTest,
                        public ::testing::WithParamInterface<std::pair<int, unsigned>> {};

TEST_P(WriterRoundTrip, IndependentLayoutAndLibraryExtractionGiveBackTheTree) {
    const auto [level, jobs] = GetParam();
    const auto files = MakeTree(*this);
    const std::vector<PackItem> items = Collect("src");

    PackOptions options;
    options.level = level;
    options.jobs = jobs;
    std::vector<uint64_t> progress;
    options.progress = [&progress](uint64_t done) { progress.push_back(done); };
    PackageWriter writer(options);
    ASSERT_EQ(writer.Write(items, Device("out.qzp").c_str()), 0) << writer.Error();

    const pkgtest::Bytes bytes = ReadHost("out.qzp");
    EXPECT_EQ(writer.PackageBytes(), bytes.size());
    ASSERT_TRUE(bytes == Expected(items, level)) << "not the expected layout";
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));

    ASSERT_TRUE(Open(bytes));
    ASSERT_EQ(PackageExtract(archive_, entries_, count_, u"\\out\\", nullptr, 0), 1);
    uint64_t total = 0;
    for (const auto& [path, contents] : files) {
        EXPECT_TRUE(ReadHost("out/" + path) == pkgtest::Text(contents)) << path;
        total += contents.size();
    }
    EXPECT_EQ(progress.back(), total);
    EXPECT_TRUE(fs::is_directory(Host("out/empty dir/inner")));
}

INSTANTIATE_TEST_SUITE_P(Trees, WriterRoundTrip,
                         ::testing::Values(std::pair{6, 1u}, std::pair{0, 3u}, std::pair{9, 3u}));

// Each row writes its items (then "r", `noise` incompressible bytes, and `directories` directory
// entries) with its options over a previous output: written as the builder lays it out, or
// refused with the item and message, the output left alone.
struct Refusal {
    const char* label;
    std::vector<PackItem> items = {{"f", Device("f")}};
    std::optional<std::size_t> noise = std::nullopt;
    uint32_t directories = 0;
    void (*options)(PackOptions&) = nullptr;
    const char* refusal = nullptr;  // the item (-1: none) and part of the message; null: written
};

const Refusal kRefusals[] = {
    {.label = "LongestNamesAndComment",
     .items = {{std::string(258, 'n') + "\\", {}}, {std::string(259, 'f'), Device("f")}},
     .options = [](PackOptions& o) { o.comment = std::string(258, 'c') + "\\"; }},
    {.label = "OneByteComment", .items = {}, .options = [](PackOptions& o) { o.comment = "\\"; }},
    {.label = "EmptyFile", .noise = 0, .refusal = "1 empty file"},
    {.label = "MissingSource",
     .items = {{"f", Device("f")}, {"gone", Device("nothing")}},
     .refusal = "1 cannot open"},
    // Stored names are refused by the name rule (name_rules_test); what only the plan knows:
    {.label = "ManifestAsDirectory",
     .items = {{"f", Device("f")}, {"VORIZ\\INDEX.INI\\", u""}},
     .refusal = "1 manifest is a directory"},
    {.label = "SameNameOtherCase",
     .items = {{"f", Device("f")}, {"F", Device("f")}},
     .refusal = "1 same name"},
    {.label = "EmptyComment",
     .options = [](PackOptions& o) { o.comment = ""; },
     .refusal = "-1 comment is 0 bytes"},
    {.label = "CommentOver259Bytes",
     .options = [](PackOptions& o) { o.comment = std::string(260, 'c'); },
     .refusal = "-1 comment is 260 bytes"},
    {.label = "Exactly65535Entries", .directories = 65534},
    {.label = "TooManyEntries", .directories = 65535, .refusal = "-1 too many entries: 65,536"},
    {.label = "PackageReachesItsLimit",
     .noise = 3000,
     .options = [](PackOptions& o) { o.maxPackageBytes = 2000; },
     .refusal = "1 must stay below"},
    {.label = "FileReachesItsLimit",
     .noise = 16385,
     .options = [](PackOptions& o) { o.maxFileBytes = 16384; },
     .refusal = "1 16,385 bytes or more"},
    {.label = "FileAtItsLimit",
     .noise = 16384,
     .options = [](PackOptions& o) { o.maxFileBytes = 16384; }},
    {.label = "LevelOutOfRange",
     .options = [](PackOptions& o) { o.level = 10; },
     .refusal = "-1 outside 0-9"},
};

TEST_F(WriterTest, WritesTheLimitsAndLeavesTheOutputAloneBeyondThem) {
    for (const Refusal& c : kRefusals) {
        SCOPED_TRACE(c.label);
        Put("f", "contents of f");
        Put("out.qzp", "previous package");
        std::vector<PackItem> items = c.items;
        if (c.noise) {
            Put("r", Noise(*c.noise));
            items.push_back({"r", Device("r")});
        }
        for (uint32_t i = 1; i <= c.directories; ++i) {
            items.push_back({std::to_string(i) + "\\", {}});
        }
        PackOptions options;
        options.jobs = 2;
        if (c.options != nullptr) {
            c.options(options);
        }
        const std::vector<std::string> before = Tree();

        PackageWriter writer(options);
        if (c.refusal == nullptr) {
            ASSERT_EQ(writer.Write(items, Device("out.qzp").c_str()), 0) << writer.Error();
            EXPECT_TRUE(ReadHost("out.qzp") == Expected(items, -1, options.comment));
            continue;
        }
        EXPECT_EQ(writer.Write(items, Device("out.qzp").c_str()), -1);
        const std::string refusal = c.refusal;
        const std::size_t space = refusal.find(' ');
        EXPECT_EQ(std::to_string(writer.ErrorItem()), refusal.substr(0, space));
        EXPECT_NE(writer.Error().find(refusal.substr(space + 1)), std::string::npos)
            << writer.Error();
        EXPECT_EQ(ReadHost("out.qzp"), pkgtest::Text("previous package"));
        EXPECT_EQ(Tree(), before);
    }
}

// A failing write at any point of the package leaves the previous output and no temporary file.
TEST_F(WriterTest, FailedWriteAtEveryPointKeepsThePreviousOutput) {
    Put("big", Noise(1200000));  // streamed, CRC-32 patched
    Put("small", "small file");
    const std::vector<PackItem> items = {
        {"d\\", {}}, {"d\\big", Device("big")}, {"small", Device("small")}};
    PackOptions options;
    options.jobs = 2;
    platform::fault::Arm(0, 0);
    ASSERT_EQ(PackageWriter(options).Write(items, Device("out.qzp").c_str()), 0);
    const uint64_t writes = platform::fault::WriteCount();
    ASSERT_GT(writes, 3u);
    Put("out.qzp", "previous package");
    const std::vector<std::string> before = Tree();
    for (uint64_t at = 1; at <= writes; ++at) {
        platform::fault::Arm(0, at);
        PackageWriter writer(options);
        EXPECT_EQ(writer.Write(items, Device("out.qzp").c_str()), -1) << "write " << at;
        EXPECT_EQ(ReadHost("out.qzp"), pkgtest::Text("previous package")) << "write " << at;
        EXPECT_EQ(Tree(), before) << "write " << at;
    }
    platform::fault::Arm(0, 0);
}

struct TreeRefusal {
    const char* label;
    void (*setup)(WriterTest&);
    const char* path;
    const char* message;
};

const TreeRefusal kTreeRefusals[] = {
    {"EmptyFile", [](WriterTest& s) { s.Put("t/d/empty", ""); }, "t/d/empty", "empty file"},
    {"LinkToDirectory",
     [](WriterTest& s) { fs::create_directory_symlink(s.Host("t/d"), s.Host("t/link")); }, "t/link",
     "symbolic link"},
    {"Pipe", [](WriterTest& s) { mkfifo(s.Host("t/pipe").c_str(), 0600); }, "t/pipe", "not a file"},
    {"BackslashInName", [](WriterTest& s) { s.Put("t/a\\b", "x"); }, "t/a\\b", "backslash"},
    {"NotUtf8", [](WriterTest& s) { s.Put("t/\xff\xfe", "x"); }, "t/\xff\xfe", "UTF-8"},
};

// The tree walk lists directories before their contents and siblings by bytes, and refuses what no
// package may hold, naming the offending path.
TEST_F(WriterTest, TreeWalkOrdersByBytesAndNamesTheOffendingPath) {
    for (const char* name :
         {"t/b.txt", "t/C.txt", "t/a/z.txt", "t/a/y/x.txt", "t/a.txt", "t/a-b.txt", "t/é.txt"}) {
        Put(name, "data");
    }
    std::vector<std::string> names;
    for (const PackItem& item : Collect("t")) {
        names.push_back(item.name);
    }
    const std::vector<std::string> expected = {
        "C.txt", "a\\", "a\\y\\", "a\\y\\x.txt", "a\\z.txt", "a-b.txt", "a.txt", "b.txt", "é.txt"};
    EXPECT_EQ(names, expected);

    for (const TreeRefusal& c : kTreeRefusals) {
        SCOPED_TRACE(c.label);
        fs::remove_all(Host("t"));
        Put("t/d/file", "x");
        c.setup(*this);
        PackTreeResult tree;
        EXPECT_EQ(CollectPackTree(Device("t"), tree), -1);
        EXPECT_EQ(fs::path(tree.errorPath), Host(c.path));
        EXPECT_NE(tree.error.find(c.message), std::string::npos) << tree.error;
    }
}

}  // namespace
