// ArchiveFile: open modes, lengths, seeks that must not move, short reads.
#include "package/archive_file.h"

#include "platform/text.h"
#include "tests/package/package_fixture.h"

namespace pkgtest {
namespace {

class ArchiveFileTest : public DeviceTest {};

TEST_F(ArchiveFileTest, EmptyFileOpensOnlyForWritingAndWritingTruncates) {
    WriteHost("empty", {});
    ArchiveFile empty(u"\\empty");
    EXPECT_EQ(empty.Open(ArchiveFile::kRead), -1);
    empty.Close();
    ArchiveFile missing(u"\\missing");
    EXPECT_EQ(missing.Open(ArchiveFile::kRead), -1);
    EXPECT_EQ(missing.stream(), nullptr);
    WriteHost("f", Bytes(17, 1));
    ArchiveFile reader(u"\\f");
    ASSERT_EQ(reader.Open(ArchiveFile::kRead), 0);
    EXPECT_EQ(reader.size(), 17);
    uint8_t first = 0;
    EXPECT_EQ(reader.Read(&first, 1), 1u) << "positioned at the start";
    EXPECT_EQ(first, 1);
    reader.Close();
    ArchiveFile writer(u"\\f");
    ASSERT_EQ(writer.Open(ArchiveFile::kWrite), 0);
    EXPECT_EQ(writer.size(), 0);
    EXPECT_EQ(writer.Write("ab", 2), 0);
    writer.Close();
    EXPECT_EQ(ReadHost("f"), Text("ab"));
}

TEST_F(ArchiveFileTest, SeekBeforeStartFailsAndShortReadReturnsWhatArrived) {
    WriteHost("f", Pattern(20));
    ArchiveFile file(u"\\f");
    ASSERT_EQ(file.Open(ArchiveFile::kRead), 0);
    ASSERT_EQ(file.Seek(-3, ArchiveFile::kEnd), 0);
    uint8_t buffer[14];
    EXPECT_EQ(file.Read(buffer, 14), 3u);
    EXPECT_EQ(file.Read(buffer, 14), 0u);
    EXPECT_EQ(file.Seek(-21, ArchiveFile::kEnd), -1);
    EXPECT_EQ(file.Seek(-21, ArchiveFile::kCurrent), -1);
    EXPECT_EQ(file.Read(buffer, 1), 0u) << "still at the end";
    EXPECT_EQ(file.Seek(-1, ArchiveFile::kCurrent), 0);
    EXPECT_EQ(file.Read(buffer, 1), 1u);
    EXPECT_EQ(buffer[0], Pattern(20)[19]);
    file.Close();
}

// A long path is used whole, never cut to the name of another file.
TEST_F(ArchiveFileTest, LongPathIsNeverCut) {
    const std::string a(100, 'a');
    const std::string c(57, 'c');  // "\\a..\\a..\\c.." is 260 units
    std::filesystem::create_directories(root_ / a / a);
    WriteHost(a + "/" + a + "/" + c.substr(1), {1});
    const std::u16string longPath = platform::Utf8ToUtf16("\\" + a + "\\" + a + "\\" + c);
    const std::u16string cut = longPath.substr(0, 259);
    ArchiveFile file(longPath.c_str());
    EXPECT_EQ(file.Open(ArchiveFile::kRead), -1) << "the file 259 units long is another";
    ArchiveFile fits(cut.c_str());
    EXPECT_EQ(fits.Open(ArchiveFile::kRead), 0);
    fits.Close();
}

}  // namespace
}  // namespace pkgtest
