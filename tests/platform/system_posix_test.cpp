// What only the POSIX stand-ins have: named mutexes as lock files shared with other processes,
// the shell's delete inside the device image (links, files in use, events).
#include "platform/system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "platform_fixture.h"

namespace platform::testing {
namespace {

namespace fs = std::filesystem;

class ImageSystemTest : public PlatformTest {};

// Another process that holds an flock on `path` until Release (the device's loader, for one).
class LockHolder {
  public:
    explicit LockHolder(const std::string& path) {
        int ready[2];
        int release[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(release), 0);
        pid_ = fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls in the child of a threaded process. The child keeps
            // no write end of `release`, so closing the parent's end wakes it.
            close(release[1]);
            close(ready[0]);
            const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
            const char ok = (fd >= 0 && flock(fd, LOCK_EX) == 0) ? 'y' : 'n';
            (void)!write(ready[1], &ok, 1);
            char c;
            (void)!read(release[0], &c, 1);
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        char ok = 0;
        EXPECT_EQ(read(ready[0], &ok, 1), 1);
        EXPECT_EQ(ok, 'y');
        close(ready[0]);
    }
    ~LockHolder() { Release(); }
    void Release() {
        if (pid_ > 0) {
            close(release_);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
};

TEST_F(ImageSystemTest, NamedMutexHeldByAnotherProcessReportsExisting) {
    fs::create_directories(root_ + "/.named");
    LockHolder loader(root_ + "/.named/RURodera");

    Handle seen = CreateNamedMutex(u"RURodera");
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(LastError(), kErrorAlreadyExists);
    EXPECT_TRUE(CloseHandle(seen));

    loader.Release();
    Handle mine = CreateNamedMutex(u"RURodera");
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(LastError(), 0u);
    EXPECT_TRUE(CloseHandle(mine));
}

TEST_F(ImageSystemTest, MutexNameCannotLeaveTheLockDirectory) {
    Handle h = CreateNamedMutex(u"..\\..\\escape/x");
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(fs::exists(base_ + "/escape"));
    EXPECT_FALSE(fs::exists(root_ + "/escape"));
    EXPECT_TRUE(CloseHandle(h));
}

// Links are removed, not followed; the purge is recorded.
TEST_F(ImageSystemTest, ShellDeleteRemovesLinksNotWhatTheyPointTo) {
    WriteFile("ResidentFlash2/VORIZ/sub/deep.bin", "d");
    WriteFile("outside/keep.txt", "k");
    fs::create_directory_symlink(root_ + "/outside", root_ + "/ResidentFlash2/link");

    const char16_t from[] = u"\\residentflash2\\*.*\0";
    ShellFileOperation op{nullptr, kFileOpDelete, from,   nullptr, kFileOpNoConfirmation,
                          nullptr, nullptr,       nullptr};
    EXPECT_EQ(RunShellFileOperation(op), 0);
    EXPECT_TRUE(fs::is_directory(root_ + "/ResidentFlash2"));
    EXPECT_TRUE(fs::is_empty(root_ + "/ResidentFlash2"));
    EXPECT_TRUE(Exists("outside/keep.txt"));
    const auto purge = Events("purge");
    ASSERT_EQ(purge.size(), 1u);
    EXPECT_EQ(purge[0]["result"], 0);
}

// A file another program has open (holds an flock on) cannot be deleted: the delete stops with
// a failure, and what it had deleted stays deleted.
TEST_F(ImageSystemTest, ShellDeleteStopsAtAFileInUse) {
    WriteFile("Flash/a_first.txt", "1");
    WriteFile("Flash/b_busy.txt", "2");
    WriteFile("Flash/c_last.txt", "3");
    LockHolder program(root_ + "/Flash/b_busy.txt");

    const char16_t from[] = u"\\Flash\\*.*\0";
    ShellFileOperation op{nullptr, kFileOpDelete, from,   nullptr, kFileOpNoConfirmation,
                          nullptr, nullptr,       nullptr};
    const int result = RunShellFileOperation(op);
    EXPECT_NE(result, 0);
    EXPECT_FALSE(Exists("Flash/a_first.txt"));
    EXPECT_TRUE(Exists("Flash/b_busy.txt"));
    EXPECT_TRUE(Exists("Flash/c_last.txt"));
    const auto purge = Events("purge");
    ASSERT_EQ(purge.size(), 1u);
    EXPECT_EQ(purge[0]["result"], result);
}

struct DeleteCase {
    const char* name;
    const char16_t* from;  // one source path
    uint32_t function;
    bool succeeds;
    const char* gone;  // relative path deleted by the operation, or null
    const char* kept;  // relative path that must survive
};

class ShellDeleteSourceTest : public ImageSystemTest,
                              public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(ShellDeleteSourceTest, DeletesWhatTheSourceNames) {
    WriteFile("Dir/one.txt", "1");
    WriteFile("Dir/two.log", "2");
    WriteFile("Other/three.txt", "3");
    WriteFile("../outside.txt", "o");
    std::u16string list = GetParam().from;
    list.push_back(u'\0');  // the list's terminating empty path
    ShellFileOperation op{nullptr, GetParam().function, list.c_str(), nullptr, 0, nullptr, nullptr,
                          nullptr};
    EXPECT_EQ(RunShellFileOperation(op) == 0, GetParam().succeeds);
    if (GetParam().gone) {
        EXPECT_FALSE(Exists(GetParam().gone));
    }
    EXPECT_TRUE(Exists(GetParam().kept));
}

const DeleteCase kDeleteCases[] = {
    {"ParentStepsStayInsideTheImage", u"\\..\\*.*", kFileOpDelete, true, "Dir", "../outside.txt"},
    {"OnlyDeleteIsSupported", u"\\Dir\\one.txt", 1, false, nullptr, "Dir/one.txt"},
};
INSTANTIATE_TEST_SUITE_P(Sources, ShellDeleteSourceTest, ::testing::ValuesIn(kDeleteCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace platform::testing
