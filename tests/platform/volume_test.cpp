// The volume services as the installer's space check relies on them, on either implementation.
#include "platform/volume.h"

#include <gtest/gtest.h>

#include "device_test.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform::testing {
namespace {

class VolumeTest : public DeviceTest {};

// The tree is laid out before the first call: the image does not see changes made behind its back.
TEST_F(VolumeTest, SpaceSizesAndEmptyDirectories) {
    WriteFile("Tree/a.bin", "12345");
    WriteFile("Tree/Sub/b.bin", std::string(1000, 'b'));
    VolumeSpace space;
    ASSERT_TRUE(GetVolumeSpace(Path(u"").c_str(), space));
    EXPECT_GT(space.freeBytes, 0u);
    EXPECT_GE(space.unitBytes, 1u);
    EXPECT_FALSE(GetVolumeSpace(Path(u"missing").c_str(), space));
    uint64_t size = 0;
    EXPECT_TRUE(GetFileSize(Path(u"TREE\\SUB\\B.BIN").c_str(), size));
    EXPECT_EQ(size, 1000u);
    EXPECT_FALSE(GetFileSize(Path(u"Tree").c_str(), size));
    EXPECT_FALSE(GetFileSize(Path(u"Tree\\missing").c_str(), size));

    // Each file in whole units, each directory one unit, the measured directory itself not.
    uint64_t bytes = 1;
    EXPECT_TRUE(MeasureTree(Path(u"tree").c_str(), 512, bytes));
    EXPECT_EQ(bytes, 512u + 512u + 1024u);
    EXPECT_TRUE(MeasureTree(Path(u"missing").c_str(), 512, bytes));
    EXPECT_EQ(bytes, 0u);

    EXPECT_FALSE(RemoveEmptyDirectory(Path(u"Tree\\Sub").c_str()));
    EXPECT_TRUE(RemoveFile(Path(u"Tree\\Sub\\b.bin").c_str()));
    EXPECT_TRUE(RemoveEmptyDirectory(Path(u"tree\\sub").c_str()));
    EXPECT_FALSE(RemoveEmptyDirectory(Path(u"Tree\\Sub").c_str()));
    EXPECT_FALSE(RemoveEmptyDirectory(Path(u"Tree\\a.bin").c_str()));
}

// A device image may state a top folder's volume: its free space is the stated size less what its
// tree takes, a link one unit whatever it points to. A stated volume that is not two numbers (a
// unit of 0) fails rather than falling back to the host's disk.
TEST_F(VolumeTest, StatedVolumeCountsALinkAsOneUnit) {
    WriteFile("image/Flash/a.bin", "12345");
    WriteFile("image/Flash/Sub/b.bin", std::string(1000, 'b'));
    WriteFile("image/Other/c.bin", "c");
    WriteFile("image/.named/Flash.volume", " 100000\t512\n");
    WriteFile("image/.named/Other.volume", "100000 0");
    const std::filesystem::path target = Host("image/Flash/Sub/b.bin").make_preferred();
    const std::filesystem::path link = Host("image/Flash/link.bin").make_preferred();
#ifdef _WIN32
    // The C++ runtime of MinGW makes no links.
    ASSERT_TRUE(::CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(), 0))
        << ::GetLastError();
    WIN32_FIND_DATAW found{};
    const HANDLE find = ::FindFirstFileW(link.wstring().c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        ::FindClose(find);
    }
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        GTEST_SKIP() << "this system lists no link as a link (Wine)";
    }
#else
    std::filesystem::create_symlink(target, link);
#endif
    const auto image = FileSystem::DeviceImage(Host("image").string());
    const UseFiles bound(*image);
    uint64_t bytes = 0;
    EXPECT_TRUE(MeasureTree(u"\\Flash", 512, bytes));
    EXPECT_EQ(bytes, 512u + 512u + 1024u + 512u);
    VolumeSpace space;
    ASSERT_TRUE(GetVolumeSpace(u"\\Flash\\Sub", space));
    EXPECT_EQ(space.unitBytes, 512u);
    EXPECT_EQ(space.freeBytes, 100000u - bytes);
    EXPECT_FALSE(GetVolumeSpace(u"\\Other", space));
}

}  // namespace
}  // namespace platform::testing
