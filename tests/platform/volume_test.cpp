// The volume services as the installer's space check relies on them, on either implementation.
#include "platform/volume.h"

#include <gtest/gtest.h>

#include "device_test.h"

namespace platform::testing {
namespace {

class VolumeTest : public DeviceTest {};

// Sizes in whole units: each file, each directory one unit, a link one unit whatever it points to
// (POSIX only: the C++ runtime of MinGW makes no links, and Wine lists none as a link), the
// measured directory itself not. A device image may state a top folder's volume: its free space
// is the stated size less what its tree takes. A stated volume that is not two numbers (a unit of
// 0) fails rather than falling back to the host's disk. The tree is laid out before the first
// call: the image does not see changes made behind its back.
TEST_F(VolumeTest, SpaceSizesAndEmptyDirectories) {
    WriteFile("image/Flash/a.bin", "12345");
    WriteFile("image/Flash/Sub/b.bin", std::string(1000, 'b'));
    WriteFile("image/Other/c.bin", "c");
    WriteFile("image/.named/Flash.volume", " 100000\t512\n");
    WriteFile("image/.named/Other.volume", "100000 0");
    uint64_t treeBytes = 512u + 512u + 1024u;
#ifndef _WIN32
    std::filesystem::create_symlink(Host("image/Flash/Sub/b.bin"), Host("image/Flash/link.bin"));
    treeBytes += 512u;
#endif
    VolumeSpace space;
    ASSERT_TRUE(GetVolumeSpace(Path(u"").c_str(), space));
    EXPECT_GT(space.freeBytes, 0u);
    EXPECT_GE(space.unitBytes, 1u);
    EXPECT_FALSE(GetVolumeSpace(Path(u"missing").c_str(), space));
    uint64_t size = 0;
    EXPECT_TRUE(GetFileSize(Path(u"IMAGE\\FLASH\\SUB\\B.BIN").c_str(), size));
    EXPECT_EQ(size, 1000u);
    EXPECT_FALSE(GetFileSize(Path(u"image\\Flash").c_str(), size));
    EXPECT_FALSE(GetFileSize(Path(u"image\\Flash\\missing").c_str(), size));
    uint64_t bytes = 1;
    EXPECT_TRUE(MeasureTree(Path(u"image\\flash").c_str(), 512, bytes));
    EXPECT_EQ(bytes, treeBytes);
    EXPECT_TRUE(MeasureTree(Path(u"missing").c_str(), 512, bytes));
    EXPECT_EQ(bytes, 0u);
    {
        const auto image = FileSystem::DeviceImage(Host("image").string());
        const UseFiles bound(*image);
        ASSERT_TRUE(GetVolumeSpace(u"\\Flash\\Sub", space));
        EXPECT_EQ(space.unitBytes, 512u);
        EXPECT_EQ(space.freeBytes, 100000u - treeBytes);
        EXPECT_FALSE(GetVolumeSpace(u"\\Other", space));
    }

    EXPECT_FALSE(RemoveEmptyDirectory(Path(u"image\\Flash\\Sub").c_str()));
    EXPECT_TRUE(RemoveFile(Path(u"image\\Flash\\Sub\\b.bin").c_str()));
    EXPECT_TRUE(RemoveEmptyDirectory(Path(u"image\\flash\\sub").c_str()));
    EXPECT_FALSE(RemoveEmptyDirectory(Path(u"image\\Flash\\Sub").c_str()));
    EXPECT_FALSE(RemoveEmptyDirectory(Path(u"image\\Flash\\a.bin").c_str()));
}

}  // namespace
}  // namespace platform::testing
