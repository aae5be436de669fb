// What only the POSIX device image and the host tools' exact host paths have: links and special
// files refused, host paths inside the image, and each directory read once per run.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>

#include "device_test.h"
#include "platform/posix/file_index.h"
#include "platform/replace.h"
#include "platform/text.h"
#include "platform/volume.h"

namespace platform::testing {
namespace {

namespace fs = std::filesystem;

class ImageTest : public DeviceTest {};

bool Opens(const char16_t* path, const char16_t* mode) {
    std::FILE* stream = OpenStream(path, mode);
    if (stream != nullptr) {
        std::fclose(stream);
    }
    return stream != nullptr;
}

bool Copies(const char16_t* from, const char16_t* to) {
    return ReplaceWithCopy(from, to, {}) == ReplaceResult::kReplaced;
}

// Host paths of the image are device paths; anything outside it has none, and parent levels
// never leave it. Below the link-free directory of a tool no link is followed; the directory
// itself may be one.
TEST_F(ImageTest, HostPathsInsideTheImageOrTheLinkFreeDirectoryOnly) {
    WriteFile("../outside.txt", "secret");
    fs::create_directories(base_ + "/elsewhere");
    fs::create_directories(root_ + "/out");
    fs::create_directory_symlink(base_ + "/elsewhere", root_ + "/out/VORIZ");
    fs::create_directory_symlink(root_ + "/out", root_ + "/outlink");
    EXPECT_EQ(GetAttributes(u"\\..\\outside.txt"), kInvalidFileAttributes);
    EXPECT_EQ(DevicePathToHost(u"\\a\\..\\..\\..\\b"), root_ + "/b");
    const std::pair<const char*, const char16_t*> kPaths[] = {
        {"", u"\\"},
        {"/SDMMC/VORIZ.QZP", u"\\SDMMC\\VORIZ.QZP"},
        {"/a/./b/../c", u"\\a\\c"},
        {"x/file", nullptr},  // a sibling whose name begins with the image's
        {"/../elsewhere", nullptr},
    };
    for (const auto& [relative, expected] : kPaths) {
        std::u16string device;
        EXPECT_EQ(HostPathToDevice(root_ + relative, device), expected != nullptr) << relative;
        EXPECT_EQ(device, expected ? expected : u"") << relative;
    }

    const auto deviceOf = [](const std::string& host) {  // the device path the tools make of it
        std::u16string device;
        EXPECT_TRUE(HostPathToDevice(host, device)) << host;
        return device;
    };
    const auto host = FileSystem::HostPaths();
    std::optional<UseFiles> plain(std::in_place, *host);
    const std::u16string linkFree = deviceOf(root_ + "/outlink");
    plain.reset();
    const auto guarded = FileSystem::HostPaths(linkFree.c_str());
    const UseFiles bound(*guarded);

    EXPECT_EQ(OpenStream(deviceOf(root_ + "/outlink/VORIZ/a.txt").c_str(), u"wb"), nullptr);
    EXPECT_EQ(LastFileError(), "refusing the symbolic link " + root_ + "/outlink/VORIZ");
    EXPECT_FALSE(CreateDir(deviceOf(root_ + "/outlink/VORIZ/sub").c_str()));
    EXPECT_TRUE(fs::is_empty(base_ + "/elsewhere"));

    EXPECT_FALSE(CreateDir(deviceOf(root_ + "/outlink/sub/../../x").c_str()));
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(fs::exists(root_ + "/x"));

    EXPECT_TRUE(Opens(deviceOf(root_ + "/outlink/new.txt").c_str(), u"wb"));
    EXPECT_TRUE(Exists("out/new.txt"));
}

// Links and special files inside the device image: every call that would open, write, create
// over, rename or copy them fails at once, and nothing outside the image changes. A replacement
// never writes through a link at its scratch name: it removes the link itself. The image's
// settings are opened as every file of it is: a link is not followed (though it leads to a code
// page), a FIFO is refused at once instead of waited on.
TEST_F(ImageTest, LinksAndSpecialFilesFailWithoutTouchingAnythingOutside) {
    const std::string outside = base_ + "/outside";
    WriteFile("../outside/codepage", "1252");
    WriteFile("../outside/file.txt", "outside");
    WriteFile("../outside/dir/f.txt", "outside");
    WriteFile("Flash/file.txt", "inside");
    WriteFile("Other/file.txt", "old");
    fs::create_symlink(outside + "/file.txt", root_ + "/Flash/link.txt");
    fs::create_directory_symlink(outside + "/dir", root_ + "/Flash/linkdir");
    fs::create_symlink(outside + "/none", root_ + "/Flash/dangling");
    fs::create_symlink(outside + "/file.txt", root_ + "/Other/~qzpnew.tmp");
    ASSERT_EQ(mkfifo((root_ + "/Flash/fifo").c_str(), 0644), 0);
    fs::create_directories(root_ + "/.named");
    fs::create_symlink(outside + "/codepage", root_ + "/.named/codepage");
    ASSERT_EQ(mkfifo((root_ + "/.named/Flash.volume").c_str(), 0644), 0);
    const auto expectOutsideUnchanged = [&] {  // nothing added, removed or written there
        EXPECT_EQ(std::distance(fs::recursive_directory_iterator(outside), {}), 4);
        EXPECT_EQ(ReadFile("../outside/file.txt"), "outside");
        EXPECT_EQ(ReadFile("../outside/dir/f.txt"), "outside");
        EXPECT_EQ(ReadFile("../outside/codepage"), "1252");
    };
    const struct {
        const char* name;
        std::function<bool()> call;  // true when the call succeeded
    } cases[] = {
        {"WriteThroughLink", [] { return Opens(u"\\FLASH\\LINK.TXT", u"wb"); }},
        {"CreateOverDanglingLink", [] { return Opens(u"\\flash\\dangling", u"wbx"); }},
        {"ReadBelowLinkedDirectory", [] { return Opens(u"\\flash\\linkdir\\f.txt", u"rb"); }},
        {"SlashesSeparateLevelsToo", [] { return Opens(u"/Flash/linkdir/f.txt", u"wb"); }},
        {"AttributesBelowLinkedDirectory",
         [] { return GetAttributes(u"\\flash\\linkdir\\f.txt") != kInvalidFileAttributes; }},
        {"DirectoryBelowLinkedDirectory", [] { return CreateDir(u"\\flash\\linkdir\\sub"); }},
        {"CopyOverLink", [] { return Copies(u"\\flash\\file.txt", u"\\flash\\link.txt"); }},
        {"CopyFromLink", [] { return Copies(u"\\flash\\link.txt", u"\\flash\\copy.txt"); }},
        {"CopyIntoLinkedDirectory",
         [] { return Copies(u"\\flash\\file.txt", u"\\flash\\linkdir\\f.txt"); }},
        {"RenameOverLink",
         [] { return RenameReplacing(u"\\flash\\file.txt", u"\\flash\\link.txt"); }},
        {"RenameLinkAway",
         [] { return RenameReplacing(u"\\flash\\link.txt", u"\\flash\\moved.txt"); }},
        {"ReadFifo", [] { return Opens(u"\\flash\\fifo", u"rb"); }},
        {"CopyFromFifo", [] { return Copies(u"\\flash\\fifo", u"\\flash\\copy.txt"); }},
        {"RenameOverFifo", [] { return RenameReplacing(u"\\flash\\file.txt", u"\\flash\\fifo"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.call());
        EXPECT_FALSE(LastFileError().empty());
        expectOutsideUnchanged();
        EXPECT_TRUE(fs::is_symlink(root_ + "/Flash/link.txt"));
    }
    EXPECT_EQ(ReplaceFile(u"\\Other\\file.txt", {},
                          [](std::FILE* out) { return WriteStream(out, "new", 3) == 3; }),
              ReplaceResult::kReplaced);
    EXPECT_EQ(ReadFile("Other/file.txt"), "new");
    EXPECT_FALSE(Exists("Other/~qzpnew.tmp"));

    uint32_t codePage = 0;
    std::string error;
    EXPECT_FALSE(ImageCodePage(root_, codePage, error));
    EXPECT_EQ(error, "cannot read it: refusing the symbolic link " + root_ + "/.named/codepage");
    VolumeSpace space;
    EXPECT_FALSE(GetVolumeSpace(u"\\Flash", space));
    expectOutsideUnchanged();
    fs::remove(root_ + "/.named/codepage");
    ASSERT_EQ(mkfifo((root_ + "/.named/codepage").c_str(), 0644), 0);
    EXPECT_FALSE(ImageCodePage(root_, codePage, error));
    EXPECT_EQ(error, "cannot read it: refusing " + root_ + "/.named/codepage: not a regular file");
}

// Lookups in a large directory read it once, whatever their number or letter case, and what this
// layer creates, renames and removes is known without reading the directory again: a return to
// scanning a directory per lookup (quadratic extraction) shows here as a count, not as time.
TEST_F(ImageTest, EachDirectoryIsReadOncePerRunAndKeptUpToDate) {
    constexpr int kFiles = 1000;
    for (int i = 0; i < kFiles; ++i) {
        WriteFile("Big/F" + std::to_string(1000 + i) + ".BIN", "");
    }
    const uint64_t before = posix::DirectoryListings();
    ASSERT_TRUE(CreateDir(u"\\Fresh"));
    for (int i = 0; i < kFiles; ++i) {
        const std::u16string n = Utf8ToUtf16(std::to_string(1000 + i));
        EXPECT_EQ(GetAttributes((u"\\big\\f" + n + u".bin").c_str()), kAttributeNormal) << i;
        ASSERT_TRUE(Opens((u"\\BIG\\new" + n).c_str(), u"wb"));
        ASSERT_TRUE(Opens((u"\\fresh\\new" + n).c_str(), u"wb"));
        EXPECT_EQ(GetAttributes((u"\\big\\NEW" + n).c_str()), kAttributeNormal);
    }
    // The image's root and Big once each, and once more for the spellings asked in another case.
    EXPECT_LE(posix::DirectoryListings() - before, 4u);

    EXPECT_TRUE(RemoveFile(u"\\big\\F1001.BIN"));
    EXPECT_EQ(GetAttributes(u"\\Big\\f1001.bin"), kInvalidFileAttributes);
    EXPECT_TRUE(RenameReplacing(u"\\big\\NEW1001", u"\\big\\Renamed"));
    EXPECT_EQ(GetAttributes(u"\\big\\new1001"), kInvalidFileAttributes);
    ASSERT_TRUE(Opens(u"\\BIG\\RENAMED", u"wb"));
    EXPECT_TRUE(Exists("Big/Renamed"));
    EXPECT_FALSE(Exists("Big/RENAMED"));
    EXPECT_EQ(fs::file_size(root_ + "/Fresh/new1999"), 0u);
    EXPECT_LE(posix::DirectoryListings() - before, 4u);

    // The shell's delete changes directories behind the layer's back: names it removed are
    // forgotten, so a file written afterwards takes the spelling it is given.
    ASSERT_EQ(ShellDelete(u"\\Big\\*.*\0"), 0);
    EXPECT_EQ(GetAttributes(u"\\big\\f1002.bin"), kInvalidFileAttributes);
    ASSERT_TRUE(Opens(u"\\big\\f1002.bin", u"wb"));
    EXPECT_TRUE(Exists("Big/f1002.bin"));
    EXPECT_FALSE(Exists("Big/F1002.BIN"));
    // The folder of the last file written, removed and made again: the next file goes there.
    fs::remove_all(root_ + "/Big");
    fs::create_directory(root_ + "/Big");
    ASSERT_TRUE(Opens(u"\\big\\new.txt", u"wb"));
    EXPECT_TRUE(Exists("Big/new.txt"));
}

}  // namespace
}  // namespace platform::testing
