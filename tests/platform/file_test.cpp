#include "platform/file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "platform/posix/fault.h"
#include "platform/posix/file_index.h"
#include "platform/system.h"
#include "platform_fixture.h"

namespace platform::testing {
namespace {

namespace fs = std::filesystem;

class FileTest : public PlatformTest {
  protected:
    void TearDown() override {
        SetExactHostPaths(false);
        SetLinkFreeDirectory(nullptr);
        PlatformTest::TearDown();
    }

    // The device path of a host path, as the tools make it.
    static std::u16string Device(const std::string& host) {
        std::u16string device;
        EXPECT_TRUE(HostPathToDevice(host, device)) << host;
        return device;
    }
};

std::string ReadAll(std::FILE* stream) {
    std::string text;
    char buffer[64];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) {
        text.append(buffer, n);
    }
    return text;
}

// Existing levels are found whatever the letter case; new files go into the existing levels.
TEST_F(FileTest, ExistingLevelsAreMatchedWithoutRegardToCase) {
    WriteFile("ResidentFlash2/VORIZ/index.ini", "record");
    EXPECT_EQ(GetAttributes(u"\\residentflash2"), kAttributeDirectory);
    EXPECT_EQ(GetAttributes(u"/RESIDENTFLASH2/voriz/INDEX.INI"), kAttributeNormal);
    EXPECT_EQ(GetAttributes(u"\\residentflash2\\missing"), kInvalidFileAttributes);

    // The directory spelt as stored, the file in another case: still the existing file.
    EXPECT_EQ(GetAttributes(u"\\ResidentFlash2\\VORIZ\\INDEX.INI"), kAttributeNormal);
    EXPECT_EQ(DevicePathToHost(u"\\ResidentFlash2\\VORIZ\\INDEX.INI"),
              DevicePathToHost(u"\\ResidentFlash2\\VORIZ\\index.ini"));

    std::FILE* in = OpenStream(u"\\residentflash2\\Voriz\\Index.Ini", u"rb");
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(ReadAll(in), "record");
    std::fclose(in);

    std::FILE* out = OpenStream(u"\\RESIDENTFLASH2\\new.txt", u"wb");
    ASSERT_NE(out, nullptr);
    std::fclose(out);
    EXPECT_TRUE(Exists("ResidentFlash2/new.txt"));
    EXPECT_FALSE(Exists("RESIDENTFLASH2"));
    EXPECT_FALSE(CreateDir(u"\\residentFLASH2"));  // exists already, in another spelling
    EXPECT_EQ(OpenStream(u"\\ResidentFlash2", u"rb"), nullptr);  // a directory is no stream
}

TEST_F(FileTest, ParentLevelsNeverLeaveTheImage) {
    WriteFile("../outside.txt", "secret");
    EXPECT_EQ(GetAttributes(u"\\..\\outside.txt"), kInvalidFileAttributes);
    EXPECT_EQ(DevicePathToHost(u"\\a\\..\\..\\..\\b"), root_ + "/b");
}

// Host tools: names as spelt, `..` as the OS resolves it (through a link, not by name).
TEST_F(FileTest, ExactHostPathsAreTheOperatingSystemsPaths) {
    SetExactHostPaths(true);
    SetDeviceRoot("/");
    WriteFile("real/sub/keep.txt", "x");
    WriteFile("real/x.txt", "beside sub");
    WriteFile("Victim.QZP", "old");
    fs::create_directory_symlink(root_ + "/real/sub", root_ + "/link");

    EXPECT_EQ(GetAttributes(Device(root_ + "/victim.qzp").c_str()), kInvalidFileAttributes);
    std::FILE* out = OpenStream(Device(root_ + "/VICTIM.QZP").c_str(), u"wb");
    ASSERT_NE(out, nullptr);
    std::fclose(out);
    EXPECT_TRUE(Exists("VICTIM.QZP"));
    EXPECT_EQ(fs::file_size(root_ + "/Victim.QZP"), 3u);  // the other spelling is untouched

    const std::u16string climbed = Device(root_ + "/link/../x.txt");
    EXPECT_NE(climbed.find(u"\\..\\"), std::u16string::npos);  // kept for the OS
    std::FILE* in = OpenStream(climbed.c_str(), u"rb");
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(ReadAll(in), "beside sub");
    std::fclose(in);
}

// An exclusive create fails on anything at the path, and the reason stays readable.
TEST_F(FileTest, ExclusiveCreateRefusesWhateverExists) {
    fs::create_symlink(base_ + "/target.txt", root_ + "/dangling.tmp");
    for (const bool exact : {false, true}) {
        SCOPED_TRACE(exact ? "exact host paths" : "device image");
        SetExactHostPaths(exact);
        SetDeviceRoot(exact ? "/" : root_);
        const std::u16string fresh = exact ? Device(root_ + "/fresh.tmp") : u"\\fresh.tmp";
        std::FILE* out = OpenStream(fresh.c_str(), u"wbx");
        ASSERT_NE(out, nullptr);
        std::fclose(out);
        EXPECT_EQ(OpenStream(fresh.c_str(), u"wbx"), nullptr);
        EXPECT_FALSE(LastFileError().empty());
        const std::u16string link = exact ? Device(root_ + "/dangling.tmp") : u"\\dangling.tmp";
        EXPECT_EQ(OpenStream(link.c_str(), u"wbx"), nullptr);
        EXPECT_FALSE(fs::exists(base_ + "/target.txt"));
        fs::remove(root_ + "/fresh.tmp");
    }
    EXPECT_EQ(OpenStream(u"\\missing\\file", u"rb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(LastFileError(), std::strerror(ENOENT));
}

// Below the link-free directory of a tool no link is followed; the directory itself may be one.
TEST_F(FileTest, LinkFreeDirectoryIsGuardedLikeTheImage) {
    SetExactHostPaths(true);
    SetDeviceRoot("/");
    fs::create_directories(base_ + "/elsewhere");
    fs::create_directories(root_ + "/out");
    fs::create_directory_symlink(base_ + "/elsewhere", root_ + "/out/VORIZ");
    fs::create_directory_symlink(root_ + "/out", root_ + "/outlink");
    SetLinkFreeDirectory(Device(root_ + "/outlink").c_str());

    EXPECT_EQ(OpenStream(Device(root_ + "/outlink/VORIZ/a.txt").c_str(), u"wb"), nullptr);
    EXPECT_EQ(LastFileError(), "refusing the symbolic link " + root_ + "/outlink/VORIZ");
    EXPECT_FALSE(CreateDir(Device(root_ + "/outlink/VORIZ/sub").c_str()));
    EXPECT_TRUE(fs::is_empty(base_ + "/elsewhere"));

    EXPECT_FALSE(CreateDir(Device(root_ + "/outlink/sub/../../x").c_str()));
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(fs::exists(root_ + "/x"));

    std::FILE* out = OpenStream(Device(root_ + "/outlink/new.txt").c_str(), u"wb");
    ASSERT_NE(out, nullptr);
    std::fclose(out);
    EXPECT_TRUE(Exists("out/new.txt"));
}

// Links and special files inside the device image: every call that would open, write, create
// over, rename or copy them fails at once, and nothing outside the image changes.
struct GuardCase {
    const char* name;
    std::function<bool()> call;  // true when the call succeeded
};

class GuardedImageTest : public FileTest, public ::testing::WithParamInterface<GuardCase> {};

bool Opens(const char16_t* path, const char16_t* mode) {
    std::FILE* stream = OpenStream(path, mode);
    if (stream != nullptr) {
        std::fclose(stream);
    }
    return stream != nullptr;
}

TEST_P(GuardedImageTest, FailsWithoutTouchingAnythingOutside) {
    const std::string outside = base_ + "/outside";
    fs::create_directories(outside + "/dir");
    std::ofstream(outside + "/file.txt") << "outside";
    std::ofstream(outside + "/dir/f.txt") << "outside";
    WriteFile("Flash/file.txt", "inside");
    fs::create_symlink(outside + "/file.txt", root_ + "/Flash/link.txt");
    fs::create_directory_symlink(outside + "/dir", root_ + "/Flash/linkdir");
    ASSERT_EQ(mkfifo((root_ + "/Flash/fifo").c_str(), 0644), 0);

    EXPECT_FALSE(GetParam().call());
    EXPECT_FALSE(LastFileError().empty());
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(outside)) {
        names.push_back(e.path().string());
    }
    EXPECT_EQ(names.size(), 3u);
    std::ifstream file(outside + "/file.txt"), inner(outside + "/dir/f.txt");
    std::string a, b;
    file >> a;
    inner >> b;
    EXPECT_EQ(a + b, "outsideoutside");
    EXPECT_TRUE(fs::is_symlink(root_ + "/Flash/link.txt"));
}

const GuardCase kGuardCases[] = {
    {"ReadThroughLink", [] { return Opens(u"\\flash\\link.txt", u"rb"); }},
    {"WriteThroughLink", [] { return Opens(u"\\FLASH\\LINK.TXT", u"wb"); }},
    {"ReadBelowLinkedDirectory", [] { return Opens(u"\\flash\\linkdir\\f.txt", u"rb"); }},
    {"WriteBelowLinkedDirectory", [] { return Opens(u"\\Flash\\LinkDir\\new.txt", u"wb"); }},
    {"SlashesSeparateLevelsToo", [] { return Opens(u"/Flash/linkdir/f.txt", u"wb"); }},
    {"AttributesBelowLinkedDirectory",
     [] { return GetAttributes(u"\\flash\\linkdir\\f.txt") != kInvalidFileAttributes; }},
    {"DirectoryBelowLinkedDirectory", [] { return CreateDir(u"\\flash\\linkdir\\sub"); }},
    {"CopyOverLink", [] { return CopyFileTo(u"\\flash\\file.txt", u"\\flash\\link.txt", false); }},
    {"CopyFromLink", [] { return CopyFileTo(u"\\flash\\link.txt", u"\\flash\\copy.txt", false); }},
    {"CopyIntoLinkedDirectory",
     [] { return CopyFileTo(u"\\flash\\file.txt", u"\\flash\\linkdir\\f.txt", false); }},
    {"RenameOverLink", [] { return RenameReplacing(u"\\flash\\file.txt", u"\\flash\\link.txt"); }},
    {"RenameLinkAway", [] { return RenameReplacing(u"\\flash\\link.txt", u"\\flash\\moved.txt"); }},
    {"ReadFifo", [] { return Opens(u"\\flash\\fifo", u"rb"); }},
    {"WriteFifo", [] { return Opens(u"\\flash\\fifo", u"wb"); }},
    {"CopyFromFifo", [] { return CopyFileTo(u"\\flash\\fifo", u"\\flash\\copy.txt", false); }},
    {"CopyOverFifo", [] { return CopyFileTo(u"\\flash\\file.txt", u"\\flash\\fifo", false); }},
    {"RenameOverFifo", [] { return RenameReplacing(u"\\flash\\file.txt", u"\\flash\\fifo"); }},
};
INSTANTIATE_TEST_SUITE_P(Image, GuardedImageTest, ::testing::ValuesIn(kGuardCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Deleting a link deletes the link alone; a link reads as a file, never as what it points to.
TEST_F(FileTest, LinksAreDeletedNotFollowed) {
    WriteFile("../outside/dir/f.txt", "outside");
    fs::create_directory_symlink(base_ + "/outside/dir", root_ + "/linkdir");
    EXPECT_EQ(GetAttributes(u"\\LINKDIR"), kAttributeReparsePoint);
    EXPECT_TRUE(RemoveFile(u"\\linkdir"));
    EXPECT_FALSE(Exists("linkdir"));
    EXPECT_TRUE(fs::exists(base_ + "/outside/dir/f.txt"));
}

struct HostPathCase {
    const char* name;
    const char* relative;  // appended to the image's host directory
    bool expressible;
    const char16_t* device;
};

class HostPathTest : public FileTest, public ::testing::WithParamInterface<HostPathCase> {};

TEST_P(HostPathTest, InsideTheImageOnly) {
    std::u16string device;
    EXPECT_EQ(HostPathToDevice(root_ + GetParam().relative, device), GetParam().expressible);
    if (GetParam().expressible) {
        EXPECT_EQ(device, GetParam().device);
    }
}

const HostPathCase kHostPaths[] = {
    {"Root", "", true, u"\\"},
    {"Nested", "/SDMMC/VORIZ.QZP", true, u"\\SDMMC\\VORIZ.QZP"},
    {"DotLevels", "/a/./b/../c", true, u"\\a\\c"},
    {"SiblingWithCommonPrefix", "x/file", false, nullptr},
    {"ParentOfTheImage", "/../elsewhere", false, nullptr},
};
INSTANTIATE_TEST_SUITE_P(Paths, HostPathTest, ::testing::ValuesIn(kHostPaths),
                         [](const auto& info) { return std::string(info.param.name); });

// The counting rules of the Win32 conversions, with UTF-8 as the default code page.
struct ConversionCase {
    const char* name;
    std::string narrow;  // source of MultiByteToWide
    int length;          // source length: -1 counts up to and including the terminator
    int capacity;
    int expected;                 // result of the call
    std::u16string expectedWide;  // what was written (when expected > 0 and capacity > 0)
};

// One case of either direction: the count returned and what was written.
template <typename To, typename From, typename Case>
void CheckCounted(int (*convert)(const From*, int, To*, int), const From* source, const Case& c,
                  const std::basic_string<To>& written) {
    std::vector<To> out(32, To('#'));
    const int n = convert(source, c.length, c.capacity ? out.data() : nullptr, c.capacity);
    EXPECT_EQ(n, c.expected);
    if (n > 0 && c.capacity > 0) {
        EXPECT_EQ(std::basic_string<To>(out.data(), static_cast<std::size_t>(n)), written);
        EXPECT_EQ(out[static_cast<std::size_t>(n)], To('#'));  // nothing written past the count
    }
}

class MultiByteToWideTest : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(MultiByteToWideTest, CountsAndWrites) {
    CheckCounted(&MultiByteToWide, GetParam().narrow.c_str(), GetParam(), GetParam().expectedWide);
}

const ConversionCase kToWide[] = {
    {"TerminatorCounted", "abc", -1, 32, 4, std::u16string(u"abc\0", 4)},
    {"ExplicitLengthWithoutTerminator", "abc", 2, 32, 2, u"ab"},
    {"ZeroCapacityAsksForTheSize", "h\xc3\xa9", -1, 0, 3, u""},
    {"CapacityTooSmall", "abcd", -1, 4, 0, u""},
    {"CapacityExact", "abcd", 4, 4, 4, u"abcd"},
    {"TwoByteSequence", "\xc3\xa9", 2, 32, 1, u"\u00e9"},
    {"FourBytesMakeASurrogatePair", "\xf0\x9f\x98\x80", 4, 32, 2, u"\U0001F600"},
    {"InvalidByteBecomesReplacement",
     "a\xff"
     "b",
     3, 32, 3, u"a\uFFFDb"},
    {"TruncatedSequenceAtTheEnd", "a\xe2\x82", 3, 32, 3, u"a\uFFFD\uFFFD"},
    {"OverlongFormRejected", "\xc0\xaf", 2, 32, 2, u"\uFFFD\uFFFD"},
    {"EmptySourceFails", "", 0, 32, 0, u""},
};
INSTANTIATE_TEST_SUITE_P(Rules, MultiByteToWideTest, ::testing::ValuesIn(kToWide),
                         [](const auto& info) { return std::string(info.param.name); });

struct NarrowCase {
    const char* name;
    std::u16string wide;
    int length;
    int capacity;
    int expected;
    std::string expectedNarrow;
};

class WideToMultiByteTest : public ::testing::TestWithParam<NarrowCase> {};

TEST_P(WideToMultiByteTest, CountsAndWrites) {
    CheckCounted(&WideToMultiByte, GetParam().wide.c_str(), GetParam(), GetParam().expectedNarrow);
}

const NarrowCase kToNarrow[] = {
    {"TerminatorCounted", u"ab", -1, 32, 3, std::string("ab\0", 3)},
    {"ZeroCapacityAsksForTheSize", u"\u00e9\u4e2d", -1, 0, 6, ""},
    {"CapacityTooSmallForAMultiByteCharacter", u"\u4e2d", 1, 2, 0, ""},
    {"SurrogatePairIsOneCharacter", u"\U0001F600", 2, 32, 4, "\xf0\x9f\x98\x80"},
    {"UnpairedSurrogateBecomesReplacement", u"\xd800x", 2, 32, 4, "\xef\xbf\xbdx"},
};
INSTANTIATE_TEST_SUITE_P(Rules, WideToMultiByteTest, ::testing::ValuesIn(kToNarrow),
                         [](const auto& info) { return std::string(info.param.name); });

// Lookups in a large directory read it once, whatever their number or letter case, and what this
// layer creates, renames and removes is known without reading the directory again: a return to
// scanning a directory per lookup (quadratic extraction) shows here as a count, not as time.
TEST_F(FileTest, EachDirectoryIsReadOncePerRun) {
    constexpr int kFiles = 1000;
    char name[32];
    for (int i = 0; i < kFiles; ++i) {
        std::snprintf(name, sizeof name, "Big/F%05d.BIN", i);
        WriteFile(name, "");
    }
    const uint64_t before = posix::DirectoryListings();
    ASSERT_TRUE(CreateDir(u"\\Fresh"));
    for (int i = 0; i < kFiles; ++i) {
        std::snprintf(name, sizeof name, "\\big\\f%05d.bin", i);
        const std::u16string existing(name, name + std::strlen(name));
        EXPECT_EQ(GetAttributes(existing.c_str()), kAttributeNormal) << name;
        std::snprintf(name, sizeof name, "\\BIG\\new%05d", i);
        const std::u16string added(name, name + std::strlen(name));
        ASSERT_TRUE(Opens(added.c_str(), u"wb"));
        ASSERT_TRUE(Opens((u"\\fresh" + added.substr(4)).c_str(), u"wb"));
        EXPECT_EQ(GetAttributes((u"\\big\\NEW" + added.substr(8)).c_str()), kAttributeNormal);
    }
    EXPECT_LE(posix::DirectoryListings() - before, 2u);  // the image's root and Big, once each

    EXPECT_TRUE(RemoveFile(u"\\big\\F00001.BIN"));
    EXPECT_EQ(GetAttributes(u"\\Big\\f00001.bin"), kInvalidFileAttributes);
    EXPECT_TRUE(RenameReplacing(u"\\big\\NEW00001", u"\\big\\Renamed"));
    EXPECT_EQ(GetAttributes(u"\\big\\new00001"), kInvalidFileAttributes);
    ASSERT_TRUE(Opens(u"\\BIG\\RENAMED", u"wb"));
    EXPECT_TRUE(Exists("Big/Renamed"));
    EXPECT_FALSE(Exists("Big/RENAMED"));
    EXPECT_EQ(fs::file_size(root_ + "/Fresh/new00999"), 0u);
    EXPECT_LE(posix::DirectoryListings() - before, 2u);
}

// The shell's delete changes directories behind the layer's back: names it removed are
// forgotten, so a file written afterwards takes the spelling it is given.
TEST_F(FileTest, DeleteForgetsTheNamesItRemoved) {
    WriteFile("Flash/OLD.TXT", "old");
    EXPECT_EQ(GetAttributes(u"\\flash\\old.txt"), kAttributeNormal);
    const char16_t from[] = u"\\Flash\\*.*\0";
    ShellFileOperation op{nullptr, kFileOpDelete, from,   nullptr, kFileOpNoConfirmation,
                          nullptr, nullptr,       nullptr};
    ASSERT_EQ(RunShellFileOperation(op), 0);
    EXPECT_EQ(GetAttributes(u"\\flash\\old.txt"), kInvalidFileAttributes);
    ASSERT_TRUE(Opens(u"\\flash\\old.txt", u"wb"));
    EXPECT_TRUE(Exists("Flash/old.txt"));
    EXPECT_FALSE(Exists("Flash/OLD.TXT"));
    // The folder of the last file written, removed and made again: the next file goes there.
    fs::remove_all(root_ + "/Flash");
    fs::create_directory(root_ + "/Flash");
    ASSERT_TRUE(Opens(u"\\flash\\new.txt", u"wb"));
    EXPECT_TRUE(Exists("Flash/new.txt"));
}

// The armed write fails and only that one; a copy whose write fails reports failure.
TEST_F(FileTest, FailAtWriteHitsExactlyTheArmedWrite) {
    std::FILE* out = OpenStream(u"\\out.bin", u"wb");
    ASSERT_NE(out, nullptr);
    fault::Arm(0, 2);
    EXPECT_EQ(WriteStream(out, "aa", 2), 2u);
    EXPECT_EQ(WriteStream(out, "bb", 2), 0u);
    EXPECT_EQ(WriteStream(out, "cc", 2), 2u);
    std::fclose(out);
    EXPECT_EQ(fault::WriteCount(), 3u);

    fault::Arm(0, 1);
    EXPECT_FALSE(CopyFileTo(u"\\out.bin", u"\\copy.bin", false));
    EXPECT_TRUE(CopyFileTo(u"\\OUT.BIN", u"\\copy.bin", false));
    EXPECT_FALSE(CopyFileTo(u"\\out.bin", u"\\copy.bin", true));  // exists now
    fault::Arm(0, 0);
    std::ifstream copy(root_ + "/copy.bin");
    std::string text;
    copy >> text;
    EXPECT_EQ(text, "aacc");
}

}  // namespace
}  // namespace platform::testing
