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

class SystemTest : public PlatformTest {};

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

TEST_F(SystemTest, NamedMutexHeldByAnotherProcessReportsExisting) {
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
    // While this process holds it, another creation sees it; after closing, nobody holds it.
    Handle again = CreateNamedMutex(u"RURodera");
    EXPECT_EQ(LastError(), kErrorAlreadyExists);
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_TRUE(CloseHandle(mine));
    Handle last = CreateNamedMutex(u"RURodera");
    EXPECT_EQ(LastError(), 0u);
    EXPECT_TRUE(CloseHandle(last));
}

TEST_F(SystemTest, LastErrorBelongsToTheThread) {
    fs::create_directories(root_ + "/.named");
    LockHolder loader(root_ + "/.named/busy");
    Handle h = CreateNamedMutex(u"busy");
    ASSERT_EQ(LastError(), kErrorAlreadyExists);
    std::thread([] {
        Handle other = CreateNamedMutex(u"free");
        EXPECT_EQ(LastError(), 0u);
        CloseHandle(other);
    }).join();
    EXPECT_EQ(LastError(), kErrorAlreadyExists);
    CloseHandle(h);
}

TEST_F(SystemTest, MutexNameCannotLeaveTheLockDirectory) {
    Handle h = CreateNamedMutex(u"..\\..\\escape/x");
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(fs::exists(base_ + "/escape"));
    EXPECT_FALSE(fs::exists(root_ + "/escape"));
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(SystemTest, ClosingAnUnknownOrClosedHandleFails) {
    EXPECT_FALSE(CloseHandle(nullptr));
    Handle h = CreateNamedMutex(u"once");
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(LastError(), 6u);
}

TEST_F(SystemTest, ThreadRunsWithItsParameterAndItsHandleClosesAtOnce) {
    std::promise<void*> ran;
    Handle thread = CreateThread(
        [](void* p) -> uint32_t {
            static_cast<std::promise<void*>*>(p)->set_value(p);
            return 0;
        },
        &ran);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(ran.get_future().get(), &ran);
}

// Deleting `DIR\*.*` empties DIR and keeps it; links are removed, not followed.
TEST_F(SystemTest, ShellDeleteEmptiesTheTreeButKeepsItsRoot) {
    WriteFile("ResidentFlash2/a.txt", "a");
    WriteFile("ResidentFlash2/.hidden", "h");
    WriteFile("ResidentFlash2/noext", "n");
    WriteFile("ResidentFlash2/VORIZ/sub/deep.bin", "d");
    WriteFile("outside/keep.txt", "k");
    fs::create_directory_symlink(root_ + "/outside", root_ + "/ResidentFlash2/link");

    const char16_t from[] = u"\\residentflash2\\*.*\0";
    int32_t aborted = 7;
    ShellFileOperation op{nullptr,
                          kFileOpDelete,
                          from,
                          nullptr,
                          kFileOpNoConfirmation | kFileOpSimpleProgress,
                          &aborted,
                          nullptr,
                          u"Delete now......"};
    EXPECT_EQ(RunShellFileOperation(op), 0);
    EXPECT_EQ(aborted, 0);
    EXPECT_TRUE(fs::is_directory(root_ + "/ResidentFlash2"));
    EXPECT_TRUE(fs::is_empty(root_ + "/ResidentFlash2"));
    EXPECT_TRUE(Exists("outside/keep.txt"));
}

// A file another program has open (holds an flock on) cannot be deleted: the delete stops with
// a failure, and what it had deleted stays deleted.
TEST_F(SystemTest, ShellDeleteStopsAtAFileInUse) {
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
}

struct DeleteCase {
    const char* name;
    const char16_t* from;  // one source path
    uint32_t function;
    bool succeeds;
    const char* gone;  // relative path deleted by the operation, or null
    const char* kept;  // relative path that must survive
};

class ShellDeleteSourceTest : public SystemTest,
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
    {"StarMatchesEveryName", u"\\DIR\\*", kFileOpDelete, true, "Dir/one.txt", "Other/three.txt"},
    {"PatternMatchesIgnoringCase", u"\\Dir\\*.TXT", kFileOpDelete, true, "Dir/one.txt",
     "Dir/two.log"},
    {"SingleFile", u"\\dir\\TWO.log", kFileOpDelete, true, "Dir/two.log", "Dir/one.txt"},
    {"WholeDirectory", u"\\Other", kFileOpDelete, true, "Other", "Dir/one.txt"},
    {"MissingFileFails", u"\\Dir\\none.txt", kFileOpDelete, false, nullptr, "Dir/one.txt"},
    {"WildcardInMissingDirectoryHasNothingToDo", u"\\Nowhere\\*.*", kFileOpDelete, true, nullptr,
     "Dir/one.txt"},
    {"ParentStepsStayInsideTheImage", u"\\..\\*.*", kFileOpDelete, true, "Dir", "../outside.txt"},
    {"OnlyDeleteIsSupported", u"\\Dir\\one.txt", 1, false, nullptr, "Dir/one.txt"},
};
INSTANTIATE_TEST_SUITE_P(Sources, ShellDeleteSourceTest, ::testing::ValuesIn(kDeleteCases),
                         [](const auto& info) { return std::string(info.param.name); });

class StandInTest : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        fs::create_directories(root_ + "/WINDOWS");
        fs::copy_file(BinDirectory() + "/velmorin_standin.so", root_ + "/WINDOWS/Velmorin.DLL");
    }
    void TearDown() override {
        unsetenv("QZP_STANDIN_RETURN");
        SystemTest::TearDown();
    }
};

TEST_F(StandInTest, LoadsByBareNameAndFindsOnlyItsExport) {
    LibraryHandle library = LoadLibraryByName(u"velmorin.dll");
    ASSERT_NE(library, nullptr);
    EXPECT_NE(FindExport(library, "KVRebootMachine"), nullptr);
    EXPECT_EQ(FindExport(library, "KVShutdownMachine"), nullptr);
    EXPECT_EQ(LastError(), 127u);
    EXPECT_EQ(LoadLibraryByName(u"missing.dll"), nullptr);
    EXPECT_EQ(LastError(), 126u);
}

TEST_F(StandInTest, RestartIsRecordedAndCanBeToldToReturn) {
    using Reboot = int32_t (*)(int32_t);
    auto reboot = reinterpret_cast<Reboot>(
        FindExport(LoadLibraryByName(u"\\Windows\\velmorin.dll"), "KVRebootMachine"));
    ASSERT_NE(reboot, nullptr);
    setenv("QZP_STANDIN_RETURN", "1", 1);
    EXPECT_EQ(reboot(1), 0);
    const auto restart = Events("restart");
    ASSERT_EQ(restart.size(), 1u);
    EXPECT_EQ(restart[0]["argument"], 1);
    std::ifstream marker(root_ + "/.restart");
    int argument = 0;
    EXPECT_TRUE(marker >> argument);
    EXPECT_EQ(argument, 1);
}

TEST_F(StandInTest, RestartEndsTheProcessWithStatusZero) {
    using Reboot = int32_t (*)(int32_t);
    auto reboot =
        reinterpret_cast<Reboot>(FindExport(LoadLibraryByName(u"velmorin.dll"), "KVRebootMachine"));
    ASSERT_NE(reboot, nullptr);
    EXPECT_EXIT(reboot(1), ::testing::ExitedWithCode(0), "");
    const auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["event"], "restart");
    EXPECT_EQ(events[1], (nlohmann::json{{"event", "exit"}, {"status", 0}}));
}

TEST_F(SystemTest, ExitProcessRecordsItsStatus) {
    EXPECT_EXIT(ExitProcess(3), ::testing::ExitedWithCode(3), "");
    const auto exits = Events("exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0]["status"], 3);
}

}  // namespace
}  // namespace platform::testing
