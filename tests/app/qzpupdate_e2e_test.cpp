// End-to-end runs of qzpupdate on device images made here, for what needs a process: the UI
// modes and the events record, the exit status, the restart, the start-up waits, the lock between
// two processes and the power cut at a real write. The session's own steps are
// update_session_test's.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "app_fixture.h"
#include "platform/fault.h"
#include "platform/text.h"

namespace apptest {
namespace {

using nlohmann::json;

const char* const kCompletionLine =
    "[Setup Completely] Please remove SDMMC card.\\nClick OK to restart!";
const char* const kConfirmV2OverV1 =
    "Update Version:  2.0\nCurrent Version: 1.0\n\nNeed to update the whole system?\n\n";

// Checks the parts every successful update shares: the bar reaches 100 (its order is the
// session's), the decode thread reports success, the program ends with status 0.
void ExpectCompleted(const RunResult& run) {
    EXPECT_EQ(run.status, 0) << run.out;
    const auto done = run.Events("decode_done");
    ASSERT_EQ(done.size(), 1u) << run.out;
    EXPECT_EQ(done[0].value("result", -1), 1);
    const auto progress = run.Events("progress");
    EXPECT_EQ(progress.empty() ? -1 : progress.back().value("position", -1), 100);
    for (std::size_t k = 1; k < progress.size(); ++k) {  // a line only when the bar moves
        EXPECT_NE(progress[k].value("position", -1), progress[k - 1].value("position", -1));
    }
    const auto lines = run.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), kCompletionLine), lines.end()) << run.out;
}

// ---------------------------------------------------------------------------------------------
// How a run shows itself and ends: the headless lines, the message boxes and the dialog's answer
// in the events record, the card's log, the restart through the vendor library, the exit status.

struct UiCase {
    const char* name;
    std::vector<std::string> args = {};
    std::vector<std::string> env = {};
    std::vector<std::string> boxes = {};  // "[caption] text|icon", in order
    int confirmResult = 0;                // 0: no confirmation expected
    std::string logLine;                  // the log's last line, without its time stamp
    bool installs = false;
    bool standIn = true;  // the vendor library stand-in, or one without the restart export
    const char16_t* patchFor = nullptr;  // a patch for this version on the card instead of 2.0
};

const char* const kCompletionBox =
    "[Setup Completely] Please remove SDMMC card.\nClick OK to restart!|none";

// A run that installs the full package over 1.0, confirmed by `answer`.
UiCase Installs(const char* name, const char* answer, std::vector<std::string> env = {},
                bool standIn = true, std::vector<std::string> boxes = {kCompletionBox}) {
    return {name, {"--answer", answer}, env, boxes, 1, "logo: none on the card", true, standIn};
}

const UiCase kUiCases[] = {
    Installs("AnsweredOk", "ok"),
    {.name = "Cancelled",
     .args = {"--answer", "cancel"},
     .confirmResult = 2,
     .logLine = "confirmation: cancelled; ends without a message"},
    {.name = "InvalidWithControlCharacters",
     .boxes = {"[Update Patch] This Patch only for version:1.5\r\x1b[2J\n Update fail!|stop"},
     .logLine = "decision: package 2.1 (patch for 1.5\\r\\x1b[2J), installed 1.0: patch for "
                "another version; shows \"This Patch only for version:1.5\\r\\x1b[2J\\n "
                "Update fail!\"",
     .patchFor = u"1.5\r\x1b[2J"},
    // Write 1 is the log's first lines, write 2 the manifest's copy in the root; write 5 falls
    // inside the extraction.
    {.name = "FailedAtWrite5",
     .args = {"--answer", "ok"},
     .env = {"QZP_FAULT_FAIL_AT_WRITE=5"},
     .boxes = {"[Setup] Setup Failly ! |stop"},
     .confirmResult = 1,
     .logLine = "extraction: VORIZ\\VORIZ.exe: short write (Input/output error); shows "
                "\"Setup Failly ! \""},
    Installs(
        "VendorLibraryWithoutRestart", "ok", {}, false,
        {kCompletionBox, "[qzpupdate] Cannot find reboot function in velmorin.dll|exclamation"}),
    // The request returns and the device never restarts: the program ends by itself after
    // a bounded wait (instant at time scale 0) instead of hanging.
    Installs("RestartRequestReturns", "ok", {"QZP_STANDIN_RETURN=1"}),
};

TEST(Ui, ShowsTheRunInEveryRecord) {
    for (const UiCase& c : kUiCases) {
        SCOPED_TRACE(c.name);
        DeviceImage image;
        InstallVersion(image);
        image.WritePackage("SDMMC/VORIZ.QZP",
                           c.patchFor ? PatchPackage(c.patchFor) : FullPackage());
        const fs::path library =
            c.standIn ? VendorStandIn() : BinDir() / "libqzp_stub_no_restart_export.so";
        ASSERT_FALSE(library.empty()) << "the vendor library stand-in was not built";
        image.WriteFile("Windows/velmorin.dll", ReadAll(library));

        const RunResult run = image.Run(c.args, c.env);

        EXPECT_EQ(run.status, 0) << run.out;
        std::vector<std::string> boxes;  // as "[caption] text|icon"
        for (const json& e : run.Events("messagebox")) {
            boxes.push_back("[" + e.value("caption", "") + "] " + e.value("text", "") + "|" +
                            e.value("icon", ""));
        }
        EXPECT_EQ(boxes, c.boxes) << run.out;
        EXPECT_EQ(run.Lines().size(), c.boxes.size()) << run.out;
        for (const std::string& line : run.Lines()) {  // outside text reaches no terminal raw
            EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char ch) {
                return static_cast<unsigned char>(ch) < 0x20;
            })) << line;
        }
        const auto confirm = run.Events("confirm");
        ASSERT_EQ(confirm.size(), c.confirmResult == 0 ? 0u : 1u);
        if (c.confirmResult != 0) {
            EXPECT_EQ(confirm[0].value("text", ""), kConfirmV2OverV1);
            EXPECT_EQ(confirm[0].value("result", 0), c.confirmResult);
        }
        // The run's last step, then its closing line naming the first box (written before it is
        // shown): after a completed update nothing reaches the card once the user was asked to
        // remove it, whatever the restart then does.
        const std::string log = ReadAll(image.Host("SDMMC/qzpupdate.log"));
        std::string closing = "no message";
        if (!c.boxes.empty()) {
            const std::string& box = c.boxes[0];
            closing = "shows \"" +
                      platform::Printable(
                          box.substr(box.find("] ") + 2, box.rfind('|') - box.find("] ") - 2)) +
                      "\", captioned \"" + box.substr(1, box.find("] ") - 1) + "\"";
        }
        EXPECT_TRUE(log.ends_with(" end: " + closing + "\r\n")) << log;
        EXPECT_TRUE(
            log.substr(0, log.rfind('\n', log.size() - 3) + 1).ends_with(" " + c.logLine + "\r\n"))
            << log;
        const auto restart = run.Events("restart");
        ASSERT_EQ(restart.size(), c.installs && c.standIn ? 1u : 0u);
        EXPECT_EQ(restart.empty() ? 1 : restart[0].value("argument", 0), 1);
        // Only an accepted full update purges, a cancelled one changes nothing.
        ASSERT_EQ(run.Events("purge").size(), c.confirmResult == 1 ? 1u : 0u);
        if (!c.installs) {
            for (const json& done : run.Events("decode_done")) {
                EXPECT_EQ(done.value("result", -1), 0);
            }
            continue;
        }
        ExpectCompleted(run);
        EXPECT_EQ(run.Events("purge")[0].value("result", -1), 0);
    }
}

// ---------------------------------------------------------------------------------------------
// The start-up waits, made deterministic by watching the files the installer looks at.

// Waits until `count` opens of the watched directory or file were seen; false after 20 s.
bool AwaitOpens(int inotifyFd, int count) {
    alignas(inotify_event) char buffer[4096];
    while (count > 0) {
        pollfd p{inotifyFd, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0)
            return false;
        const ssize_t n = read(inotifyFd, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            if (e->mask & IN_OPEN)
                --count;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    return true;
}

// A watch of the opens of `path`; -1 when it cannot be set.
int WatchOpens(const fs::path& path) {
    const int fd = inotify_init1(IN_CLOEXEC);
    return fd >= 0 && inotify_add_watch(fd, path.c_str(), IN_OPEN) >= 0 ? fd : -1;
}

// A card inserted late is found: each query for the missing package searches the card's folder
// for another spelling. While the loader runs the installer then waits, retrying, and changes
// nothing; a second installer started meanwhile ends at once, silently; the first installs whole
// once the loader ends.
TEST(StartUp, FindsALatePackageWaitsForTheLoaderAndRunsAlone) {
    DeviceImage image;
    InstallVersion(image, u"");
    image.WritePackage("staged.qzp", FullPackage());
    const Tree before = image.FlashTree();
    // The loader holds its named mutex; watches count the first installer's queries for the
    // package and its attempts to take the mutex.
    image.WriteFile(".named/RURodera", "");
    const int loader = open(image.Host(".named/RURodera").c_str(), O_RDWR | O_CLOEXEC);
    const int card = WatchOpens(image.Host("SDMMC"));
    const int mutex = WatchOpens(image.Host(".named/RURodera"));
    ASSERT_TRUE(loader >= 0 && flock(loader, LOCK_EX) == 0 && card >= 0 && mutex >= 0);
    int out = -1;
    const int pid = image.Start({"--time-scale", "0.25"}, {}, out);
    const bool queried = AwaitOpens(card, 1);
    fs::rename(image.Host("staged.qzp"), image.Host("SDMMC/VORIZ.QZP"));
    const bool waiting = AwaitOpens(mutex, 3);  // the first try and at least two retries

    const fs::path secondEvents = image.Scratch() / "second.jsonl";
    int secondOut = -1;
    const int second = image.Start({}, {}, secondOut, secondEvents);
    const RunResult secondRun = image.Finish(second, secondOut, secondEvents);
    const Tree whileWaiting = image.FlashTree();
    close(loader);  // the loader ends
    const RunResult run = image.Finish(pid, out);
    close(card);
    close(mutex);

    ASSERT_TRUE(queried && waiting);
    // Its output empty, the second showed no box; the first's image unchanged, it purged nothing.
    EXPECT_EQ(secondRun.status, 0);
    EXPECT_EQ(secondRun.out, "");
    EXPECT_EQ(TreeDifference(before, whileWaiting), "");
    ExpectCompleted(run);
    EXPECT_EQ(TreeDifference(TreeOfPackage(FullPackage()), image.FlashTree()), "");
}

// ---------------------------------------------------------------------------------------------
// Power cuts and failed writes: the run is cut at (or fails) its 1st, 2nd, ... write; running the
// installer again on the same image must finish the update. The sweep ends at the first run that
// is not cut, or that a failed write leaves complete.

// Each sweep: a full update or a patch, its power cut or its write failing.
class PowerCut : public testing::TestWithParam<std::tuple<bool, bool>> {};

// Both kinds with a logo on the card over an installed one: the new record is the extraction's
// last entry, written whole or not at all, so a cut anywhere before it repeats the whole update;
// the new logo is copied only after it, so no cut leaves the new logo without the new record.
TEST_P(PowerCut, RunningAgainFinishesTheUpdate) {
    const bool patch = std::get<0>(GetParam());
    const bool fail = std::get<1>(GetParam());
    const std::vector<PackFile> package = patch ? PatchPackage(u"1.0") : FullPackage();
    const std::string oldLogo = Filler(70000, 3, false);
    const std::string newLogo = Filler(70000, 4, false);
    int cutPoints = 0;
    const auto setUp = [&](const DeviceImage& image) {
        InstallVersion(image);
        image.WriteFile("ResidentFlash2/PowerOffLogo.bmp", oldLogo);
        image.WriteFile("SDMMC/PowerOffLogo.bmp", newLogo);
        image.WritePackage("SDMMC/VORIZ.QZP", package);
    };
    // Whether a run makes a k-th write: a failed write may stop nothing (the card's log's).
    const auto cutAt = [&](int k) {
        DeviceImage image;
        setUp(image);
        return image.Run({}, {"QZP_FAULT_CUT_AT_WRITE=" + std::to_string(k)}).status ==
               platform::fault::kPowerCutExitStatus;
    };
    for (int k = 1; k < 200; ++k) {
        SCOPED_TRACE("cut at write " + std::to_string(k));
        DeviceImage image;
        setUp(image);
        const Tree before = image.FlashTree();
        Tree expected = patch ? Merge(before, TreeOfPackage(package)) : TreeOfPackage(package);
        expected["powerofflogo.bmp"] = newLogo;

        const RunResult cut = image.Run(
            {},
            {(fail ? "QZP_FAULT_FAIL_AT_WRITE=" : "QZP_FAULT_CUT_AT_WRITE=") + std::to_string(k)});
        if (fail ? !cutAt(k) : cut.status != platform::fault::kPowerCutExitStatus) {
            ExpectCompleted(cut);
            EXPECT_EQ(TreeDifference(expected, image.FlashTree()), "");
            break;
        }
        cutPoints = k;
        // Over an installed tree every existing file is replaced whole: the logo is the old or
        // the new one at every cut. (After a purge the package's files are new and written in
        // place; the rerun rewrites them.)
        const Tree after = image.FlashTree();
        const auto logo = after.find("powerofflogo.bmp");
        EXPECT_TRUE(!patch ||
                    (logo != after.end() && (logo->second == oldLogo || logo->second == newLogo)));
        const auto record = after.find("voriz/index.ini");
        const bool recorded =
            record != after.end() && record->second == expected.at("voriz/index.ini");
        EXPECT_TRUE(recorded || record == after.end() ||
                    record->second == before.at("voriz/index.ini"))
            << "a record of " << record->second.size() << " bytes";
        EXPECT_TRUE(recorded || logo == after.end() || logo->second != newLogo)
            << "the new logo before the new record";
        if (recorded && (logo == after.end() || logo->second != newLogo)) {
            // Cut in the logo's copy: the update is installed, the logo is left as a failed copy
            // leaves it. The next run removes the copy's scratch file, whatever it decides (the
            // rerun of a patch is refused, rightly).
            image.Run();
            Tree rest = image.FlashTree();
            rest["powerofflogo.bmp"] = newLogo;
            EXPECT_EQ(rest, expected);
            continue;
        }
        // Only a cut after the record leaves the update installed; the rerun of a patch is then
        // refused, rightly.
        const bool installed = TreeDifference(expected, image.FlashTree()).empty();
        const RunResult again = image.Run();
        if (!installed) {
            ExpectCompleted(again);
        }
        EXPECT_EQ(TreeDifference(expected, image.FlashTree()), "");
        if (testing::Test::HasFailure()) {
            break;  // at the first failing cut
        }
    }
    EXPECT_GE(cutPoints, 8);  // at least one write per data block, and the logo's two
    std::printf("[ power cut ] N = %d writes, the run cut at each in turn\n", cutPoints);
}

INSTANTIATE_TEST_SUITE_P(Sweep, PowerCut, testing::Combine(testing::Bool(), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<bool, bool>>& info) {
                             return std::string(std::get<0>(info.param) ? "Patch" : "FullPackage") +
                                    (std::get<1>(info.param) ? "Failing" : "");
                         });

// ---------------------------------------------------------------------------------------------
// Memory: the run under a heap limit (RLIMIT_DATA, as the device's small address space) ends
// complete, or refused with a box, the flash volume as it was and the log saying memory ran out;
// never killed, never half installed. The limits fall around the run's steps: the open of long
// names, the decode thread's stack, the room kept for after the purge, the decoding threads.

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QZP_ADDRESS_SANITIZER
#endif
#endif

TEST(Memory, RunsWholeOrLeavesTheDeviceAsItWas) {
#if defined(__SANITIZE_ADDRESS__) || defined(QZP_ADDRESS_SANITIZER)
    GTEST_SKIP() << "an address-sanitized program cannot run under RLIMIT_DATA";
#endif
    std::vector<PackFile> longNames = FullPackage();
    for (int i = 0; i < 600; ++i) {
        longNames.push_back({"VORIZ\\Maps\\" + std::to_string(10000 + i) + std::string(225, 'n'),
                             "x" + std::to_string(i)});
    }
    int refused = 0;
    for (const auto& package : {FullPackage(), longNames}) {
        for (const int kb : {384, 512, 768, 1024, 3072, 9216, 10240, 24576}) {
            SCOPED_TRACE(std::to_string(package.size()) + " entries, " + std::to_string(kb) +
                         " KB");
            DeviceImage image;
            InstallVersion(image);
            image.WritePackage("SDMMC/VORIZ.QZP", package);
            const Tree before = image.FlashTree();
            const RunResult run =
                image.Run({"--answer", "ok"}, {"RLIMIT_DATA=" + std::to_string(kb << 10)});
            if (run.Events("decode_done").empty()) {
                ++refused;
                EXPECT_EQ(run.status, 0) << run.out;
                EXPECT_EQ(run.Events("messagebox").size(), 1u) << run.out;
                EXPECT_EQ(TreeDifference(before, image.FlashTree()), "");
                const std::string log = ReadAll(image.Host("SDMMC/qzpupdate.log"));
                EXPECT_NE(log.find(": out of memory; shows \""), std::string::npos) << log;
            } else {
                ExpectCompleted(run);
                EXPECT_EQ(TreeDifference(TreeOfPackage(package), image.FlashTree()), "");
            }
        }
    }
    EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace apptest
