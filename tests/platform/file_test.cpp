// The file services as every caller may rely on them, on either implementation.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "device_test.h"
#include "platform/fault.h"
#include "platform/replace.h"

namespace platform::testing {
namespace {

class FileTest : public DeviceTest {};

bool Write(const std::u16string& path, const std::string& text) {
    std::FILE* out = OpenStream(path.c_str(), u"wb");
    const bool ok = out != nullptr && WriteStream(out, text.data(), text.size()) == text.size();
    return out != nullptr && std::fclose(out) == 0 && ok;
}

// Callers test bits: the directory bit tells a directory from a file, and a missing path is
// kInvalidFileAttributes; other bits (archive, read-only, ...) are the file system's business.
// The device's file system ignores letter case: existing levels are found in any spelling and
// keep theirs; new files take the spelling they are given.
TEST_F(FileTest, AttributesAndNamesWithoutRegardToLetterCase) {
    WriteFile("ResidentFlash2/VORIZ/index.ini", "record");
    const uint32_t directory = GetAttributes(Path(u"residentflash2").c_str());
    const uint32_t file = GetAttributes(Path(u"ResidentFlash2\\VORIZ\\index.ini").c_str());
    ASSERT_NE(directory, kInvalidFileAttributes);
    EXPECT_NE(directory & kAttributeDirectory, 0u);
    EXPECT_EQ(file & (kAttributeDirectory | kAttributeDevice | kAttributeReparsePoint), 0u);
    EXPECT_EQ(GetAttributes(Path(u"ResidentFlash2\\missing").c_str()), kInvalidFileAttributes);
    EXPECT_EQ(GetAttributes(Path(u"missing\\file.txt").c_str()), kInvalidFileAttributes);
    EXPECT_EQ(GetAttributes(nullptr), kInvalidFileAttributes);
    EXPECT_EQ(ReplaceWithCopy(Path(u"RESIDENTFLASH2\\voriz\\INDEX.INI").c_str(),
                              Path(u"residentflash2\\VORIZ\\Copy").c_str(), {}),
              ReplaceResult::kReplaced);
    EXPECT_EQ(ReadFile("ResidentFlash2/VORIZ/Copy"), "record");

    EXPECT_TRUE(Write(Path(u"RESIDENTFLASH2\\New.txt"), "new"));
    EXPECT_EQ(Names(""), std::set<std::string>{"ResidentFlash2"});
    EXPECT_EQ(Names("ResidentFlash2"), (std::set<std::string>{"New.txt", "VORIZ"}));
    EXPECT_FALSE(CreateDir(Path(u"residentFLASH2").c_str()));  // exists, in another spelling
    EXPECT_TRUE(Write(Path(u"residentflash2\\voriz\\Index.Ini"), "new"));
    EXPECT_EQ(ReadFile("ResidentFlash2/VORIZ/index.ini"), "new");
}

// Opening: what fails, fails with a reason and leaves nothing behind.
TEST_F(FileTest, OpenStreamOpensOrFailsWithAReason) {
    WriteFile("dir/inner.txt", "inner");
    WriteFile("file.txt", "file");
    const struct {
        const char* name;
        const char16_t* path;
        const char16_t* mode;
        bool opens;
    } cases[] = {
        {"ReadExisting", u"file.txt", u"rb", true},
        {"ReadMissing", u"missing.txt", u"rb", false},
        {"ReadInMissingDirectory", u"nowhere\\file.txt", u"rb", false},
        {"ReadDirectory", u"dir", u"rb", false},
        {"WriteOverDirectory", u"dir", u"wb", false},
        {"WriteInMissingDirectory", u"nowhere\\new.txt", u"wb", false},
        {"ExclusiveNew", u"dir\\new.txt", u"wbx", true},
        {"ExclusiveOverFile", u"dir\\inner.txt", u"wbx", false},
        {"ExclusiveOverDirectory", u"dir", u"wbx", false},
        {"UnknownMode", u"file.txt", u"r+b", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::FILE* stream = OpenStream(Path(c.path).c_str(), c.mode);
        EXPECT_EQ(stream != nullptr, c.opens);
        if (stream != nullptr) {
            std::fclose(stream);
        } else {
            EXPECT_FALSE(LastFileError().empty());
        }
        EXPECT_EQ(ReadFile("dir/inner.txt"), "inner");
    }
}

// Renames replace in one step; a replacement is whole or nothing and leaves no scratch file,
// whatever file stood at the scratch name (a directory there is no leftover of ours: kept);
// deletes need something there.
TEST_F(FileTest, RenameReplaceAndRemove) {
    using enum ReplaceResult;
    std::filesystem::create_directories(Host("busy/~qzpnew.tmp"));
    WriteFile("new.tmp", "new");
    WriteFile("file.txt", "old");
    WriteFile("~qzpnew.tmp", "left by a power loss");
    EXPECT_TRUE(RenameReplacing(Path(u"NEW.TMP").c_str(), Path(u"file.txt").c_str()));
    EXPECT_EQ(Names(""), (std::set<std::string>{"busy", "file.txt", "~qzpnew.tmp"}));
    EXPECT_EQ(ReadFile("file.txt"), "new");
    EXPECT_FALSE(RenameReplacing(Path(u"new.tmp").c_str(), Path(u"other.txt").c_str()));

    const auto writes = [](const char* text) {
        return [text](std::FILE* out) { return WriteStream(out, text, 5) == 5; };
    };
    EXPECT_EQ(ReplaceFile(Path(u"FILE.TXT").c_str(), {}, writes("newer")), kReplaced);
    EXPECT_EQ(ReplaceFile(Path(u"file.txt").c_str(), {}, [](std::FILE*) { return false; }), kWrite);
    fault::Arm(0, 1);
    EXPECT_EQ(ReplaceWithCopy(Path(u"file.txt").c_str(), Path(u"copy.txt").c_str(), {}), kWrite);
    EXPECT_EQ(ReplaceWithCopy(Path(u"missing").c_str(), Path(u"copy.txt").c_str(), {}), kWrite);
    EXPECT_EQ(ReplaceFile(Path(u"missing\\f").c_str(), {}, writes("never")), kCreate);
    EXPECT_EQ(ReplaceFile(Path(u"busy\\f").c_str(), {}, writes("never")), kCreate);
    EXPECT_EQ(Names("busy"), std::set<std::string>{"~qzpnew.tmp"});
    EXPECT_EQ(ReplaceFile(Path(u"dir\\").c_str(), {}, writes("never")), kNoScratchPath);
    EXPECT_EQ(Names(""), (std::set<std::string>{"busy", "file.txt"}));
    EXPECT_EQ(ReadFile("file.txt"), "newer");
    EXPECT_EQ(ReplaceWithCopy(Path(u"file.txt").c_str(), Path(u"copy.txt").c_str(), {}), kReplaced);
    EXPECT_EQ(ReadFile("copy.txt"), "newer");
    // A rule with a record takes nothing at the scratch name for its own: kept, the replace
    // refused. A free scratch name is recorded before the file is made; a cut record is none.
    WriteFile("~qzpnew.tmp", "installed");
    const std::u16string record = Path(u"scratch.rec");
    ScratchRule recorded{.record = record.c_str()};
    std::u16string scratch;
    EXPECT_EQ(ReplaceFile(Path(u"copy.txt").c_str(), recorded, writes("never")), kCreate);
    EXPECT_EQ(ReadFile("~qzpnew.tmp"), "installed");
    EXPECT_FALSE(ReadScratchRecord(record.c_str(), scratch));
    recorded.base = u"_qzpnew.tmp";
    EXPECT_EQ(ReplaceFile(Path(u"copy.txt").c_str(), recorded, writes("again")), kReplaced);
    EXPECT_EQ(ReadFile("copy.txt"), "again");
    EXPECT_TRUE(ReadScratchRecord(record.c_str(), scratch));
    EXPECT_EQ(scratch, Path(u"_qzpnew.tmp"));
    const std::string whole = ReadFile("scratch.rec");
    WriteFile("scratch.rec", whole.substr(0, whole.size() - 1));
    EXPECT_FALSE(ReadScratchRecord(record.c_str(), scratch));
    EXPECT_TRUE(RemoveFile(Path(u"~qzpnew.tmp").c_str()));
    EXPECT_TRUE(RemoveFile(record.c_str()));

    EXPECT_TRUE(RemoveFile(Path(u"Copy.txt").c_str()));
    EXPECT_FALSE(RemoveFile(Path(u"copy.txt").c_str()));
    EXPECT_EQ(Names(""), (std::set<std::string>{"busy", "file.txt"}));
    EXPECT_TRUE(CreateDir(Path(u"dir").c_str()));
    EXPECT_FALSE(CreateDir(Path(u"missing\\dir").c_str()));
    const std::u16string overlong = Path(std::u16string(300, u'a'));  // longer than any name
    EXPECT_EQ(OpenStream(overlong.c_str(), u"wb"), nullptr);
    EXPECT_FALSE(CreateDir(overlong.c_str()));
}

// A stream written, committed and closed holds exactly what was written (no text-mode
// translation). The write-fault hook fails the armed write and only that one; a power cut ends
// the process before the write, with the power-cut status.
TEST_F(FileTest, StreamHoldsItsBytesAndTheFaultHookHitsTheArmedWrite) {
    std::FILE* out = OpenStream(Path(u"out.bin").c_str(), u"wbx");
    ASSERT_NE(out, nullptr);
    fault::Arm(0, 2);
    EXPECT_EQ(WriteStream(out, "a\0\r\n", 4), 4u);
    EXPECT_EQ(WriteStream(out, "bb", 2), 0u);
    EXPECT_EQ(WriteStream(out, "\x1a\xff", 2), 2u);
    EXPECT_TRUE(CommitStream(out));
    std::fclose(out);
    EXPECT_EQ(fault::WriteCount(), 3u);
    EXPECT_EQ(ReadFile("out.bin"), std::string("a\0\r\n\x1a\xff", 6));
    EXPECT_FALSE(CommitStream(nullptr));

    // Win32 runs the statement in a new process with a folder of its own: it removes it first.
    EXPECT_EXIT((TearDown(), fault::Arm(1, 0), WriteStream(stdout, "", 0)),
                ::testing::ExitedWithCode(fault::kPowerCutExitStatus), "");
}

// The device's conversions count as MultiByteToWideChar / WideCharToMultiByte do: capacity 0
// asks for the size, a destination too small fails with 0, a source length of -1 counts the
// terminator, an empty source fails, and nothing is written past the count.
template <typename From, typename To, typename Convert>
void ExpectConversion(const From& from, const To& to, Convert convert) {
    const int n = static_cast<int>(from.size());
    const int m = static_cast<int>(to.size());
    std::vector<typename To::value_type> out(to.size() + 2, '#');
    EXPECT_EQ(convert(from.data(), n, nullptr, 0), m);
    EXPECT_EQ(convert(from.data(), n, out.data(), m - 1), m > 1 ? 0 : m);
    EXPECT_EQ(convert(from.c_str(), -1, out.data(), m + 2), m + 1);
    using Unit = typename To::value_type;
    EXPECT_EQ(To(out.data(), to.size() + 2), to + Unit('\0') + Unit('#'));
    EXPECT_EQ(convert(from.data(), 0, out.data(), m), 0);
}

// Names convert with the bound file system's code page, through the system's own converter
// (iconv, or Win32's): both builds must agree on every row. A stored name comes back exactly: the
// strict conversions of the tools refuse best fit (U+2014 to U+2015's bytes, U+203E to `~`) and a
// character stored as a byte the device reads as `\` (U+00A5 to 0x5C), and name what they refused;
// a second byte 0x5C or 0x7C of a character is no separator. What a code page cannot hold, the
// device's own conversions substitute (UTF-8: U+FFFD for each byte that is not UTF-8).
TEST(CodePageTest, ConvertsWithTheBoundFileSystemsCodePage) {
    struct NameCase {
        uint32_t codePage;
        std::u16string held;  // stored as `bytes`
        std::string bytes;
        std::u16string refused;            // each refused on its own, and named
        std::vector<uint32_t> alike = {};  // code pages that give the same
    };
    const std::u16string single = u"\u203e\uff5e\u2225\uffe2";  // ‾ ～ ∥ ￢
    const NameCase names[] = {
        {932, u"\uff5e\u2225\uffe2\u30bd\u8868\u30dd\\/",
         "\x81\x60\x81\x61\x81\xca\x83\x5c\x95\x5c\x83\x7c\\/", u"\u00a5\u203e\u2014"},
        {936, u"\uff5e\u2225\uffe2\u2014\u4e57\u4e85\u4e2d\u6587",
         "\xa1\xab\xa1\xce\xa9\x56\xa1\xaa\x81\x5c\x81\x7c\xd6\xd0\xce\xc4", u"\u00a5\u203e\u0e01"},
        {949, u"\uff5e\u2225\uffe2", "\xa2\xa6\xa1\xab\xa1\xfe", u"\u00a5\u203e\u2014"},
        {950, u"\uff5e\u2225\u2014\u529f\u8a31\u5f0b\u4e48",
         "\xa1\xe3\xa1\xfc\xa1\x58\xa5\x5c\xb3\x5c\xa4\x7c\xa4\x5c", u"\u00a5\u203e\uffe2"},
        {1250, u"\u2014", "\x97", u"\u00a5" + single, {1251, 1257}},
        {1252, u"\u00a5\u2014", "\xa5\x97", single, {1253, 1254, 1255, 1256, 1258}},
        {1252, u"Canci\u00f3n \u20ac", "Canci\xf3n \x80", u"\u4e2d"},
        {65001, u"\u00a5\u2014\U0001F600" + single,
         "\xc2\xa5\xe2\x80\x94\xf0\x9f\x98\x80\xe2\x80\xbe\xef\xbd\x9e\xe2\x88\xa5\xef\xbf\xa2",
         u"\xd800"},
    };
    for (const NameCase& c : names) {
        std::vector<uint32_t> codePages = c.alike;
        codePages.push_back(c.codePage);
        for (const uint32_t codePage : codePages) {
            SCOPED_TRACE(codePage);
            ASSERT_TRUE(CodePageAvailable(codePage));
            const std::unique_ptr<FileSystem> files = FileSystem::HostPaths(nullptr, codePage);
            const UseFiles bound(*files);
            std::string narrow;
            std::u16string wide;
            std::u16string refused;
            EXPECT_TRUE(ToCodePage(c.held, narrow, &refused));
            EXPECT_EQ(narrow, c.bytes);
            EXPECT_TRUE(FromCodePage(c.bytes, wide));
            EXPECT_EQ(wide, c.held);
            ExpectConversion(c.held, c.bytes, WideToMultiByte);
            ExpectConversion(c.bytes, c.held, MultiByteToWide);
            for (const char16_t character : c.refused) {
                SCOPED_TRACE(static_cast<unsigned>(character));
                EXPECT_FALSE(
                    ToCodePage(u"a" + std::u16string(1, character) + u"b", narrow, &refused));
                EXPECT_EQ(refused, std::u16string(1, character));
            }
        }
    }
    const std::tuple<uint32_t, std::u16string, std::string, bool> substituted[] = {
        {1252, u"a\u4e2d", "a?", false},
        {936, u"a\u0e01", "a?", false},
        {65001, u"\xd800x", "\xef\xbf\xbdx", false},
        {65001, u"a\uFFFD", "a\xff", true},  // read
        {65001, u"\uFFFD\uFFFD", "\xc0\xaf", true},
#ifndef _WIN32  // Win32 reads a cut sequence as one U+FFFD
        {65001, u"a\uFFFD\uFFFD", "a\xe2\x82", true},
#endif
    };
    for (const auto& [codePage, wide, narrow, read] : substituted) {
        SCOPED_TRACE(narrow);
        const std::unique_ptr<FileSystem> files = FileSystem::HostPaths(nullptr, codePage);
        const UseFiles bound(*files);
        std::u16string strict;
        EXPECT_EQ(FromCodePage(narrow, strict), !read);
        if (read) {
            ExpectConversion(narrow, wide, MultiByteToWide);
        } else {
            ExpectConversion(wide, narrow, WideToMultiByte);
        }
    }
    EXPECT_FALSE(CodePageAvailable(kSystemCodePage));
    EXPECT_EQ(MultiByteToWide("abcd", -1, nullptr, 0), 5);  // no file system bound
}

// A device image states its code page in .named/codepage; without it the default holds.
TEST_F(FileTest, ImageStatesItsCodePage) {
    const std::string image = Host("image").string();
    const std::pair<const char*, uint32_t> cases[] = {
        {nullptr, kDefaultCodePage},
        {"1252\n", 1252},
        {" 936 ", 936},
        {"cp1252", 0},
        {"0", 0},
        {"1252x", 0},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text == nullptr ? "(none)" : text);
        std::filesystem::remove_all(Host("image"));
        if (text != nullptr) {
            WriteFile("image/.named/codepage", text);
        }
        uint32_t codePage = 0;
        std::string error;
        EXPECT_EQ(ImageCodePage(image, codePage, error), expected != 0) << error;
        if (expected != 0) {
            EXPECT_EQ(codePage, expected);
            EXPECT_EQ(FileSystem::OpenImage(image, error)->CodePage(), expected);
        } else {
            EXPECT_FALSE(FileSystem::OpenImage(image, error));
        }
    }
    // So is a volume it states that is no well-formed file (here a folder): the room unchecked.
    for (const char* text : {"16384 4096\n", "16384,4096", static_cast<const char*>(nullptr)}) {
        std::filesystem::remove_all(Host("image"));
        std::filesystem::create_directories(Host("image/.named/ResidentFlash2.volume"));
        if (text != nullptr) {
            std::filesystem::remove(Host("image/.named/ResidentFlash2.volume"));
            WriteFile("image/.named/ResidentFlash2.volume", text);
        }
        const bool good = text != nullptr && std::string_view(text) == "16384 4096\n";
        std::string error;
        std::string file;
        EXPECT_EQ(!!FileSystem::OpenImage(image, error, &file), good);
        EXPECT_EQ(file, good ? ".named/codepage" : ".named/ResidentFlash2.volume") << error;
    }
}

}  // namespace
}  // namespace platform::testing
