// ArchiveFile: open modes, lengths, seeks that must not move, short reads.
#include "package/archive_file.h"

#include "platform/text.h"
#include "tests/package/package_fixture.h"

namespace pkgtest {
namespace {

class ArchiveFileTest : public DeviceTest {};

TEST_F(ArchiveFileTest, OpenModesSeeksAndShortReads) {
    WriteHost("empty", {});
    ArchiveFile empty(u"\\empty");
    EXPECT_EQ(empty.Open(ArchiveFile::kRead), -1) << "an empty file is no package";
    empty.Close();
    ArchiveFile missing(u"\\missing");
    EXPECT_EQ(missing.Open(ArchiveFile::kRead), -1);
    EXPECT_EQ(missing.stream(), nullptr);

    // Opened at the start; a seek before the start fails and leaves the position; a short read
    // returns what arrived.
    const Bytes bytes = Pattern(20);
    WriteHost("f", bytes);
    ArchiveFile file(u"\\f");
    ASSERT_EQ(file.Open(ArchiveFile::kRead), 0);
    EXPECT_EQ(file.size(), 20);
    uint8_t buffer[14];
    EXPECT_EQ(file.Read(buffer, 1), 1u);
    EXPECT_EQ(buffer[0], bytes[0]);
    ASSERT_EQ(file.Seek(-3, ArchiveFile::kEnd), 0);
    EXPECT_EQ(file.Read(buffer, 14), 3u);
    EXPECT_EQ(file.Read(buffer, 14), 0u);
    EXPECT_EQ(file.Seek(-21, ArchiveFile::kEnd), -1);
    EXPECT_EQ(file.Seek(-21, ArchiveFile::kCurrent), -1);
    EXPECT_EQ(file.Read(buffer, 1), 0u) << "still at the end";
    EXPECT_EQ(file.Seek(-1, ArchiveFile::kCurrent), 0);
    EXPECT_EQ(file.Read(buffer, 1), 1u);
    EXPECT_EQ(buffer[0], bytes[19]);
    file.Close();

    ArchiveFile writer(u"\\f");
    ASSERT_EQ(writer.Open(ArchiveFile::kWrite), 0);
    EXPECT_EQ(writer.size(), 0) << "writing truncates";
    EXPECT_EQ(writer.Write("ab", 2), 0);
    writer.Close();
    EXPECT_EQ(ReadHost("f"), Text("ab"));

    // A long path is used whole, never cut to the name of another file.
    const std::string a(100, 'a');
    const std::string c(57, 'c');  // "\\a..\\a..\\c.." is 260 units
    std::filesystem::create_directories(root_ / a / a);
    WriteHost(a + "/" + a + "/" + c.substr(1), {1});
    const std::u16string longPath = platform::Utf8ToUtf16("\\" + a + "\\" + a + "\\" + c);
    ArchiveFile cutLong(longPath.c_str());
    EXPECT_EQ(cutLong.Open(ArchiveFile::kRead), -1) << "the file 259 units long is another";
    ArchiveFile fits(longPath.substr(0, 259).c_str());
    EXPECT_EQ(fits.Open(ArchiveFile::kRead), 0);
    fits.Close();
}

}  // namespace
}  // namespace pkgtest
