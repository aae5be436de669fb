#include "platform/file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/posix/fault.h"
#include "platform_fixture.h"

namespace platform::testing {
namespace {

namespace fs = std::filesystem;

class FileTest : public PlatformTest {};

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

class MultiByteToWideTest : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(MultiByteToWideTest, CountsAndWrites) {
    const ConversionCase& c = GetParam();
    std::vector<char16_t> out(32, u'#');
    const int n =
        MultiByteToWide(c.narrow.c_str(), c.length, c.capacity ? out.data() : nullptr, c.capacity);
    EXPECT_EQ(n, c.expected);
    if (n > 0 && c.capacity > 0) {
        EXPECT_EQ(std::u16string(out.data(), static_cast<std::size_t>(n)), c.expectedWide);
        EXPECT_EQ(out[static_cast<std::size_t>(n)], u'#');  // nothing written past the count
    }
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
    const NarrowCase& c = GetParam();
    std::vector<char> out(32, '#');
    const int n =
        WideToMultiByte(c.wide.c_str(), c.length, c.capacity ? out.data() : nullptr, c.capacity);
    EXPECT_EQ(n, c.expected);
    if (n > 0 && c.capacity > 0) {
        EXPECT_EQ(std::string(out.data(), static_cast<std::size_t>(n)), c.expectedNarrow);
        EXPECT_EQ(out[static_cast<std::size_t>(n)], '#');
    }
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
