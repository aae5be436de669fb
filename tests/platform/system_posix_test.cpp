// What only the POSIX stand-ins have: named mutexes as lock files shared with other programs,
// the shell's delete inside the device image (links, files in use).
#include "platform/system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <thread>

#include "device_test.h"

namespace platform::testing {
namespace {

namespace fs = std::filesystem;

class ImageSystemTest : public DeviceTest {};

// Another program that holds an flock on `path` (the device's loader, for one). flock locks
// belong to an open file, so a second open in this process is as foreign as a process.
struct LockHolder {
    explicit LockHolder(const std::string& path) : fd(open(path.c_str(), O_RDWR | O_CREAT, 0644)) {
        EXPECT_EQ(flock(fd, LOCK_EX), 0) << path;
    }
    ~LockHolder() { close(fd); }
    int fd;
};

// The mutex is the lock other programs take: an flock on .named/NAME in the image. The last error
// belongs to the thread (checked here: on Win32 the join itself may set the thread's). A link at
// `.named` or at a lock file is never followed: the mutex cannot be created, nothing appears where
// the link points, and a lock held there is not taken for the mutex's.
TEST_F(ImageSystemTest, NamedMutexIsALockFileInsideTheImage) {
    fs::create_directories(root_ + "/.named");
    const LockHolder loader(root_ + "/.named/RURodera");
    const Handle seen = CreateNamedMutex(u"RURodera");
    EXPECT_EQ(LastError(), kErrorAlreadyExists);
    std::thread([files = BoundFiles()] {
        const UseFiles bound(*files);
        CloseHandle(CreateNamedMutex(u"other"));
        EXPECT_EQ(LastError(), 0u);
    }).join();
    EXPECT_EQ(LastError(), kErrorAlreadyExists);
    EXPECT_TRUE(CloseHandle(seen));

    const std::string outside = base_ + "/outside";
    // Each row: what it is, the link under the root, and its target under `outside`.
    for (const auto& [name, link, target] :
         {std::array<const char*, 3>{"dangling lock file", ".named/RURodera", "RURodera"},
          std::array<const char*, 3>{"lock file held outside", ".named/RURodera", "held"},
          std::array<const char*, 3>{"lock directory", ".named", ""}}) {
        SCOPED_TRACE(name);
        fs::remove_all(root_ + "/.named");
        fs::remove_all(outside);
        fs::create_directories(root_ + "/.named");
        fs::create_directories(outside);
        LockHolder elsewhere(outside + "/held");
        fs::remove(root_ + "/" + link);
        fs::create_symlink(outside + "/" + target, root_ + "/" + link);

        EXPECT_EQ(CreateNamedMutex(u"RURodera"), nullptr);
        EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
        EXPECT_TRUE(fs::is_symlink(root_ + "/" + link));
    }
    // Nor can its name leave the lock directory.
    fs::remove(root_ + "/.named");
    const Handle h = CreateNamedMutex(u"..\\..\\escape/x");
    EXPECT_FALSE(fs::exists(base_ + "/escape"));
    EXPECT_FALSE(fs::exists(root_ + "/escape"));
    EXPECT_TRUE(CloseHandle(h));
}

// Links read as links and are removed, never followed; nothing outside the image is deleted. A
// file another program has open (holds an flock on) cannot be deleted: the delete stops with a
// failure, and what it had deleted stays deleted.
TEST_F(ImageSystemTest, ShellDeleteStaysInsideTheImageAndStopsAtAFileInUse) {
    WriteFile("ResidentFlash2/VORIZ/sub/deep.bin", "d");
    WriteFile("outside/keep.txt", "k");
    fs::create_directory_symlink(root_ + "/outside", root_ + "/ResidentFlash2/link");
    fs::create_directory_symlink(root_ + "/outside", root_ + "/link");
    EXPECT_EQ(GetAttributes(u"\\LINK"), kAttributeReparsePoint);
    EXPECT_TRUE(RemoveFile(u"\\link"));

    EXPECT_EQ(ShellDelete(u"\\residentflash2\\*.*\0"), 0);
    EXPECT_TRUE(fs::is_empty(root_ + "/ResidentFlash2"));
    EXPECT_FALSE(Exists("link"));
    EXPECT_TRUE(Exists("outside/keep.txt"));
    // Parent steps stay inside the image.
    WriteFile("Dir/one.txt", "1");
    WriteFile("../outside.txt", "o");
    EXPECT_EQ(ShellDelete(u"\\..\\*.*\0", 0), 0);
    EXPECT_FALSE(Exists("Dir"));
    EXPECT_TRUE(Exists("../outside.txt"));

    WriteFile("Flash/a_first.txt", "1");
    WriteFile("Flash/b_busy.txt", "2");
    WriteFile("Flash/c_last.txt", "3");
    const LockHolder program(root_ + "/Flash/b_busy.txt");
    EXPECT_NE(ShellDelete(u"\\Flash\\*.*\0"), 0);
    EXPECT_FALSE(Exists("Flash/a_first.txt"));
    EXPECT_TRUE(Exists("Flash/b_busy.txt"));
    EXPECT_TRUE(Exists("Flash/c_last.txt"));
}

}  // namespace
}  // namespace platform::testing
