// End-to-end runs of qzpupdate on device images made here: the start-up waits, the version gate,
// the decode thread and the end of the update, judged by the printed message boxes, the events
// record and the flash volume left behind.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "device_image.h"

namespace apptest {
namespace {

using nlohmann::json;

// The package's files. The manifest sits in the middle of the catalogue so that moving it to the
// end of the extraction matters; the big entries take several data blocks of 16 KB.
const std::string kNewExe = Filler(40000, 1, false);
const std::string kNewMap = Filler(20000, 2, true);
const std::string kPackageLogo = "logo from the package";
const std::string kCardLogo = "logo from the card";
const std::string kInstalledExe = "installed exe";
const std::string kInstalledOld = "a file of the installed version";

// Offset of a byte inside the first data block of VORIZ.exe in FullPackage and PatchPackage:
// only a directory record and the entry's own record come before that block.
constexpr long kExeBlockOffset = 8000;

const char* const kCompletionLine =
    "[Setup Completely] Please remove SDMMC card.\\nClick OK to restart!";
const char* const kConfirmV2OverV1 =
    "Update Version:  2.0\nCurrent Version: 1.0\n\nNeed to update the whole system?\n\n";

std::vector<PackFile> FullPackage(const DeviceImage& image,
                                  const std::u16string& version = u"2.0") {
    return {{"VORIZ\\", ""},
            {"VORIZ\\VORIZ.exe", kNewExe},
            {"VORIZ\\INDEX.INI", image.IniBytes(Manifest(version))},
            {"VORIZ\\Maps\\", ""},
            {"VORIZ\\Maps\\region01.dat", kNewMap},
            {"PowerOffLogo.bmp", kPackageLogo}};
}

std::vector<PackFile> PatchPackage(const DeviceImage& image, const std::u16string& required,
                                   const std::string& manifestName = "VORIZ\\INDEX.INI") {
    return {{"VORIZ\\VORIZ.exe", kNewExe},
            {manifestName, image.IniBytes(Manifest(u"2.1", 1, required))},
            {"VORIZ\\Lang\\en.txt", kNewMap}};
}

// Installed software of version `version` (no record when empty).
void InstallVersion(const DeviceImage& image, const std::u16string& version = u"1.0") {
    image.WriteFile("ResidentFlash2/VORIZ/VORIZ.exe", kInstalledExe);
    image.WriteFile("ResidentFlash2/VORIZ/old.txt", kInstalledOld);
    if (!version.empty()) {
        image.WriteIni("ResidentFlash2/VORIZ/index.ini",
                       {{u"Config", u"SoftwareVersion", version}});
    }
}

void FlipByte(const DeviceImage& image, const std::string& relative, long offset) {
    std::FILE* f = std::fopen(image.Host(relative).c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, offset, SEEK_SET);
    const int c = std::fgetc(f);
    std::fseek(f, offset, SEEK_SET);
    std::fputc(c ^ 0x5A, f);
    std::fclose(f);
}

// The message boxes of a run as "[caption] text|icon".
std::vector<std::string> Boxes(const RunResult& run) {
    std::vector<std::string> boxes;
    for (const json& e : run.Events("messagebox")) {
        boxes.push_back("[" + e.value("caption", "") + "] " + e.value("text", "") + "|" +
                        e.value("icon", ""));
    }
    return boxes;
}

// The technician's log on the card, "" when there is none.
std::string CardLog(const DeviceImage& image) {
    return ReadAll(image.Host("SDMMC/qzpupdate.log"));
}

// Whether the log's last line, after its time stamp, is `line`.
bool EndsWithLine(const std::string& log, const std::string& line) {
    const std::string ending = " " + line + "\r\n";
    return log.size() >= ending.size() &&
           log.compare(log.size() - ending.size(), ending.size(), ending) == 0;
}

bool HasLine(const RunResult& run, const std::string& line) {
    for (const std::string& l : run.Lines()) {
        if (l == line)
            return true;
    }
    return false;
}

// Checks the parts every successful update shares: the bar moves forward to 100, the decode
// thread reports success, the program ends with status 0.
void ExpectCompleted(const RunResult& run) {
    EXPECT_EQ(run.status, 0) << run.out;
    const auto done = run.Events("decode_done");
    ASSERT_EQ(done.size(), 1u) << run.out;
    EXPECT_EQ(done[0].value("result", -1), 1);
    int previous = 0;
    const auto progress = run.Events("progress");
    ASSERT_FALSE(progress.empty());
    for (const json& p : progress) {
        const int position = p.value("position", -1);
        EXPECT_GE(position, previous);
        EXPECT_LE(position, 100);
        previous = position;
    }
    EXPECT_EQ(previous, 100);
    EXPECT_TRUE(HasLine(run, kCompletionLine)) << run.out;
}

// How the flash volume differs from `expected` ("" when it matches).
std::string FlashDifference(const DeviceImage& image, const Tree& expected) {
    return TreeDifference(expected, image.FlashTree());
}

Tree Merge(Tree base, const Tree& over) {
    for (const auto& [name, content] : over)
        base[name] = content;
    return base;
}

// ---------------------------------------------------------------------------------------------
// Runs that refuse the update: nothing on the flash volume may change.

struct RefusalCase {
    const char* name;
    std::function<void(const DeviceImage&)> setUp;
    std::vector<std::string> args;
    std::vector<std::string> boxes;  // "[caption] text|icon", in order
    int confirmResult;               // 0: no confirmation expected
    const char* logLine;             // the log's last line, without its time stamp
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class RefusedUpdate : public testing::TestWithParam<RefusalCase> {};

// A device with version 1.0 installed and the package `make` builds on its card.
std::function<void(const DeviceImage&)> OnV1(std::vector<PackFile> (*make)(const DeviceImage&)) {
    return [make](const DeviceImage& i) {
        InstallVersion(i);
        i.WritePackage("SDMMC/VORIZ.QZP", make(i));
    };
}

TEST_P(RefusedUpdate, ShowsItsMessageAndLeavesTheFlashVolumeAlone) {
    const RefusalCase& c = GetParam();
    DeviceImage image;
    c.setUp(image);
    const Tree before = image.FlashTree();

    const RunResult run = image.Run(c.args);

    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(Boxes(run), c.boxes) << run.out;
    EXPECT_EQ(run.Lines().size(), c.boxes.size()) << run.out;
    for (const std::string& line : run.Lines()) {  // outside text reaches no terminal raw
        EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char ch) {
            return static_cast<unsigned char>(ch) < 0x20;
        })) << line;
    }
    const auto confirm = run.Events("confirm");
    if (c.confirmResult == 0) {
        EXPECT_TRUE(confirm.empty());
    } else {
        ASSERT_EQ(confirm.size(), 1u);
        EXPECT_EQ(confirm[0].value("result", 0), c.confirmResult);
    }
    EXPECT_TRUE(run.Events("purge").empty());
    EXPECT_TRUE(run.Events("decode_done").empty());
    EXPECT_EQ(FlashDifference(image, before), "");
    EXPECT_TRUE(EndsWithLine(CardLog(image), c.logLine)) << CardLog(image);
}

const std::string kInvalid = "[Error] Invalid update File|stop";

INSTANTIATE_TEST_SUITE_P(
    Gate, RefusedUpdate,
    testing::Values(
        RefusalCase{"NoPackage",
                    [](const DeviceImage& i) { InstallVersion(i); },
                    {},
                    {},
                    0,
                    "package: no \\SDMMC\\VORIZ.QZP; ends without a message"},
        RefusalCase{"NotAPackage",
                    [](const DeviceImage& i) {
                        InstallVersion(i);
                        i.WriteFile("SDMMC/VORIZ.QZP", "this is not a package at all");
                    },
                    {},
                    {kInvalid},
                    0,
                    "open: not a readable package; shows \"Invalid update File\""},
        RefusalCase{"PatchForAnotherVersion",
                    OnV1([](const DeviceImage& i) { return PatchPackage(i, u"1.5"); }),
                    {},
                    {"[Update Patch] This Patch only for version:1.5\n Update fail!|stop"},
                    0,
                    "decision: package 2.1 (patch for 1.5), installed 1.0: patch for another "
                    "version; shows \"This Patch only for version:1.5\\n Update fail!\""},
        RefusalCase{"PatchForAVersionWithControlCharacters",
                    OnV1([](const DeviceImage& i) { return PatchPackage(i, u"1.5\r\x1b[2J"); }),
                    {},
                    {"[Update Patch] This Patch only for version:1.5\r\x1b[2J\n Update fail!|stop"},
                    0,
                    "decision: package 2.1 (patch for 1.5\\r\\x1b[2J), installed 1.0: patch for "
                    "another version; shows \"This Patch only for version:1.5\\r\\x1b[2J\\n "
                    "Update fail!\""},
        RefusalCase{"ConfirmationCancelled",
                    OnV1([](const DeviceImage& i) { return FullPackage(i); }),
                    {"--answer", "cancel"},
                    {},
                    2,
                    "confirmation: cancelled; ends without a message"},
        // A refusal where no file call failed carries no system error, whatever a lookup before
        // it left behind.
        RefusalCase{"ManifestSpeltWithALeadingBackslash",
                    OnV1([](const DeviceImage& i) -> std::vector<PackFile> {
                        return {{"\\VORIZ\\INDEX.INI", i.IniBytes(Manifest(u"2.0"))},
                                {"VORIZ\\VORIZ.exe", kNewExe}};
                    }),
                    {},
                    {kInvalid},
                    0,
                    "manifest: \\VORIZ\\INDEX.INI: name has an empty level; shows \"Invalid update "
                    "File\""},
        // The check of the whole package comes before the manifest is read: a damaged full
        // package is refused before the question is asked.
        RefusalCase{
            "CorruptBlockInFullPackage",
            [](const DeviceImage& i) {
                InstallVersion(i);
                i.WritePackage("SDMMC/VORIZ.QZP", FullPackage(i));
                FlipByte(i, "SDMMC/VORIZ.QZP", kExeBlockOffset);
            },
            {"--answer", "ok"},
            {kInvalid},
            0,
            "check: VORIZ\\VORIZ.exe: block does not inflate (block 0); shows \"Invalid update "
            "File\""}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Runs that install: the flash volume ends up as the gate decided.

struct InstallCase {
    const char* name;
    // Prepares the image and returns the flash volume expected at the end.
    std::function<Tree(const DeviceImage&)> setUp;
    std::vector<std::string> args;
    const char* confirmText;  // null: no confirmation expected
    bool purged;
    std::vector<int> positions = {};  // the bar's, when given
};

void PrintTo(const InstallCase& c, std::ostream* os) {
    *os << c.name;
}

class CompletedUpdate : public testing::TestWithParam<InstallCase> {};

TEST_P(CompletedUpdate, EndsWithTheExpectedFlashVolume) {
    const InstallCase& c = GetParam();
    DeviceImage image;
    const Tree expected = c.setUp(image);

    const RunResult run = image.Run(c.args);

    ExpectCompleted(run);
    EXPECT_GE(image.CardReads(), 1.0);
    EXPECT_LE(image.CardReads(), 2.0);
    const auto confirm = run.Events("confirm");
    if (c.confirmText == nullptr) {
        EXPECT_TRUE(confirm.empty());
    } else {
        ASSERT_EQ(confirm.size(), 1u);
        EXPECT_EQ(confirm[0].value("text", ""), c.confirmText);
        EXPECT_EQ(confirm[0].value("result", 0), 1);
    }
    const auto purge = run.Events("purge");
    if (c.purged) {
        ASSERT_EQ(purge.size(), 1u);
        EXPECT_EQ(purge[0].value("result", -1), 0);
    } else {
        EXPECT_TRUE(purge.empty());
    }
    EXPECT_EQ(FlashDifference(image, expected), "");
    std::vector<int> positions;
    for (const json& p : run.Events("progress")) {
        positions.push_back(p.value("position", -1));
    }
    EXPECT_TRUE(c.positions.empty() || positions == c.positions) << run.out;
}

// Puts `package` on the card; the flash volume a full update of it leaves.
Tree Install(const DeviceImage& image, const std::vector<PackFile>& package) {
    image.WritePackage("SDMMC/VORIZ.QZP", package);
    return TreeOfPackage(package);
}

Tree InstallFull(const DeviceImage& image) {
    return Install(image, FullPackage(image));
}

// Version 1.0 installed, a full package on the card.
Tree FullOverV1(const DeviceImage& image) {
    InstallVersion(image);
    return InstallFull(image);
}

INSTANTIATE_TEST_SUITE_P(
    Gate, CompletedUpdate,
    testing::Values(
        InstallCase{
            "FullPackageAnsweredOk", FullOverV1, {"--answer", "ok"}, kConfirmV2OverV1, true},
        InstallCase{"FullPackageConfirmedByTimeout",
                    FullOverV1,
                    {"--answer", "timeout"},
                    kConfirmV2OverV1,
                    true},
        InstallCase{"RecordWithoutVersion",
                    [](const DeviceImage& i) {
                        InstallVersion(i, u"");
                        i.WriteIni("ResidentFlash2/VORIZ/index.ini", {{u"Config", u"Other", u"x"}});
                        return InstallFull(i);
                    },
                    {},
                    "Update Version:  2.0\nCurrent Version: undetected\n\nNeed to update the "
                    "whole system?\n\n",
                    true},
        InstallCase{"PackageWithoutManifest",
                    [](const DeviceImage& i) {
                        InstallVersion(i);
                        return Install(i, {{"VORIZ\\VORIZ.exe", kNewExe}, {"Readme.txt", "hello"}});
                    },
                    {},
                    "Update Version:  \nCurrent Version: 1.0\n\nNeed to update the whole "
                    "system?\n\n",
                    true},
        InstallCase{"PatchWhoseVersionDiffersOnlyInCase",
                    [](const DeviceImage& i) {
                        InstallVersion(i, u"V1.0a");
                        const auto patch = PatchPackage(i, u"v1.0A", "voriz\\index.ini");
                        i.WritePackage("SDMMC/VORIZ.QZP", patch);
                        return Merge(i.FlashTree(), TreeOfPackage(patch));
                    },
                    {"--answer", "cancel"},
                    nullptr,
                    false},
        // An earlier run may have left a directory where the manifest's copy goes.
        InstallCase{"LeftoverDirectoryAtTheManifestsCopy",
                    [](const DeviceImage& i) {
                        InstallVersion(i);
                        fs::create_directories(i.Host("VORIZ/INDEX.INI"));
                        return InstallFull(i);
                    },
                    {},
                    kConfirmV2OverV1,
                    true},
        // Nothing to extract but the record: the update still completes after the purge.
        InstallCase{"ManifestAlone",
                    [](const DeviceImage& i) {
                        InstallVersion(i);
                        return Install(i, {{"VORIZ\\INDEX.INI", i.IniBytes(Manifest(u"2.0"))}});
                    },
                    {},
                    kConfirmV2OverV1,
                    true},
        // Card settings far over 32 KB are read: no question.
        InstallCase{"LargeCardSettings",
                    [](const DeviceImage& i) {
                        std::vector<IniValue> settings;
                        for (int k = 0; k < 400; ++k) {
                            const std::string n = std::to_string(k);
                            settings.push_back({u"Filler",
                                                u"k" + std::u16string(n.begin(), n.end()),
                                                std::u16string(100, u'v')});
                        }
                        settings.push_back({u"Config", u"IsShowUpdateTips", u"0"});
                        i.WriteIni("SDMMC/kvupdate.ini", settings);
                        return FullOverV1(i);
                    },
                    {},
                    nullptr,
                    true},
        // The bar counts the record's bytes with the others'.
        InstallCase{"ThreeEqualBlocksOneTheManifest",
                    [](const DeviceImage& i) {
                        InstallVersion(i);
                        const std::string manifest = i.IniBytes(Manifest(u"2.0"));
                        return Install(i, {{"a.ini", manifest},
                                           {"VORIZ\\INDEX.INI", manifest},
                                           {"b.ini", manifest}});
                    },
                    {},
                    kConfirmV2OverV1,
                    true,
                    {33, 66, 100}}),
    [](const testing::TestParamInfo<InstallCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// The end of the update: the restart through the vendor library, and what happens without it.

struct RestartCase {
    const char* name;
    std::function<fs::path()> library;  // empty path: no library on the device
    std::vector<std::string> env;
    std::vector<std::string> extraBoxes;
    bool restartEvent;
};

void PrintTo(const RestartCase& c, std::ostream* os) {
    *os << c.name;
}

class Restart : public testing::TestWithParam<RestartCase> {};

TEST_P(Restart, EndsTheProgramWithStatusZero) {
    const RestartCase& c = GetParam();
    DeviceImage image;
    InstallVersion(image, u"");
    InstallFull(image);
    const fs::path library = c.library();
    if (c.restartEvent) {
        ASSERT_FALSE(library.empty()) << "the vendor library stand-in was not built";
    }
    if (!library.empty()) {
        image.InstallVendorLibrary(library);
    }

    const RunResult run = image.Run({}, c.env);

    ExpectCompleted(run);
    std::vector<std::string> boxes = {
        "[Setup Completely] Please remove SDMMC card.\nClick OK to restart!|none"};
    boxes.insert(boxes.end(), c.extraBoxes.begin(), c.extraBoxes.end());
    EXPECT_EQ(Boxes(run), boxes);
    const auto restart = run.Events("restart");
    if (c.restartEvent) {
        ASSERT_EQ(restart.size(), 1u);
        EXPECT_EQ(restart[0].value("argument", 0), 1);
    } else {
        EXPECT_TRUE(restart.empty());
    }
    // Nothing reaches the card after the user was asked to remove it: the logo's line is the
    // log's last, whatever the restart then does.
    const std::string log = CardLog(image);
    const std::size_t last = log.rfind('\n', log.size() - 2);
    EXPECT_NE(log.find(" logo: ", last == std::string::npos ? 0 : last), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    VendorLibrary, Restart,
    testing::Values(
        RestartCase{"StandIn", [] { return VendorStandIn(); }, {}, {}, true},
        RestartCase{"Missing", [] { return fs::path(); }, {}, {}, false},
        RestartCase{"WithoutExport",
                    [] { return BinDir() / "libqzp_stub_no_restart_export.so"; },
                    {},
                    {"[qzpupdate] Cannot find reboot function in velmorin.dll|exclamation"},
                    false},
        // The request returns and the device never restarts: the program ends by itself after
        // a bounded wait (instant at time scale 0) instead of hanging.
        RestartCase{
            "RequestReturns", [] { return VendorStandIn(); }, {"QZP_STANDIN_RETURN=1"}, {}, true}),
    [](const testing::TestParamInfo<RestartCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Failures after the gate.

TEST(FailedExtraction, ReportsSetupFailureWithoutLogoOrRestart) {
    DeviceImage image;
    InstallVersion(image);
    InstallFull(image);
    image.WriteFile("SDMMC/PowerOffLogo.bmp", kCardLogo);
    if (!VendorStandIn().empty()) {
        image.InstallVendorLibrary(VendorStandIn());
    }

    // Write 1 is the manifest's copy in the root; write 4 falls inside the extraction.
    const RunResult run = image.Run({}, {"QZP_FAULT_FAIL_AT_WRITE=4"});

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Boxes(run), std::vector<std::string>{"[Setup] Setup Failly ! |stop"});
    EXPECT_TRUE(HasLine(run, "[Setup] Setup Failly ! ")) << run.out;
    const auto done = run.Events("decode_done");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].value("result", -1), 0);
    EXPECT_TRUE(run.Events("restart").empty());
    const Tree flash = image.FlashTree();
    const auto logo = flash.find("powerofflogo.bmp");
    EXPECT_TRUE(logo == flash.end() || logo->second != kCardLogo);
    // The record was to be written last, so the device does not claim the new version.
    EXPECT_EQ(flash.count("voriz/index.ini"), 0u);
    // The log names the entry, the reason and the system's word for it.
    EXPECT_TRUE(EndsWithLine(CardLog(image),
                             "extraction: VORIZ\\VORIZ.exe: short write (Input/output "
                             "error); shows \"Setup Failly ! \""))
        << CardLog(image);
}

// A purge the shell fails (a file in use; what it deleted stays deleted) stops the update; one the
// user cancels part way goes on and installs the full package over what is left.
TEST(Purge, AFailureStopsTheUpdateACancelInstallsOverWhatIsLeft) {
    for (const bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled ? "cancelled" : "a file in use");
        DeviceImage image;
        InstallVersion(image);
        const Tree package = InstallFull(image);
        image.WriteFile("ResidentFlash2/VORIZ/busy.dat", "in use");
        const Tree before = image.FlashTree();
        const int busy =
            open(image.Host("ResidentFlash2/VORIZ/busy.dat").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(busy, 0);
        ASSERT_EQ(flock(busy, cancelled ? LOCK_SH : LOCK_EX), 0);

        const RunResult run =
            image.Run({}, {cancelled ? "QZP_FAULT_PURGE_ABORTED=1" : "QZP_FAULT_PURGE_ABORTED=0"});
        close(busy);

        EXPECT_EQ(run.status, 0);
        const auto purge = run.Events("purge");
        ASSERT_EQ(purge.size(), 1u);
        EXPECT_TRUE(fs::exists(image.Host("ResidentFlash2/VORIZ/busy.dat")));
        if (cancelled) {
            ExpectCompleted(run);
            EXPECT_EQ(purge[0].value("result", 1), 0);
            EXPECT_EQ(FlashDifference(image, Merge(before, package)), "");
            EXPECT_NE(CardLog(image).find(" purge: cancelled part way; installing over what is "
                                          "left\r\n"),
                      std::string::npos);
            continue;
        }
        EXPECT_EQ(Boxes(run), std::vector<std::string>{
                                  "[qzpupdate] Failed to delete files in ResisdentFlash2,"
                                  "Maybe Some programs are running, Please Close!|exclamation"});
        EXPECT_EQ(purge[0].value("result", 0), 1);
        EXPECT_TRUE(run.Events("decode_done").empty());
    }
}

// ---------------------------------------------------------------------------------------------
// Room on the flash volume.

const char* const kLacksRoom =
    "[qzpupdate] The flash volume ResidentFlash2 lacks room for this update: ";

// The room rule to the unit, on a flash volume the image states (16 KB in units of 4 KB): a
// package whose planned need equals the room installs; one byte more, across a unit boundary, is
// refused before the purge, with the exact figures. A full update needs VORIZ\ (a unit), its
// manifest (a unit) and data.bin; a patch over VORIZ\, data.bin (4 KB) and the record needs
// the new data.bin beside the old one.
TEST(ExactRoom, AnExactFitInstallsAndOneByteMoreIsRefused) {
    struct Case {
        bool patch;
        std::size_t dataBytes;
        const char* refusal;  // null: installs
    };
    for (const Case c :
         {Case{false, 8192, nullptr}, Case{false, 8193, "it needs 20 KB, 16 KB are available."},
          Case{true, 8192, nullptr}, Case{true, 8193, "it needs 12 KB, 8 KB are available."}}) {
        SCOPED_TRACE(std::string(c.patch ? "patch" : "full update") + " of " +
                     std::to_string(c.dataBytes) + " bytes");
        DeviceImage image;
        image.WriteFile("ResidentFlash2/VORIZ/data.bin", Filler(4096, 3, false));
        image.WriteIni("ResidentFlash2/VORIZ/index.ini", {{u"Config", u"SoftwareVersion", u"1.0"}});
        // The installed tree takes three units; a patch is left two more.
        image.WriteFile(".named/ResidentFlash2.volume", c.patch ? "20480 4096" : "16384 4096");
        const std::vector<PackFile> package = {
            {"VORIZ\\INDEX.INI",
             image.IniBytes(c.patch ? Manifest(u"2.1", 1, u"1.0") : Manifest(u"2.0"))},
            {"VORIZ\\data.bin", Filler(c.dataBytes, 4, false)}};
        image.WritePackage("SDMMC/VORIZ.QZP", package);
        const Tree before = image.FlashTree();

        const RunResult run = image.Run({"--answer", "ok"});

        if (c.refusal == nullptr) {
            ExpectCompleted(run);
            continue;
        }
        EXPECT_EQ(Boxes(run),
                  std::vector<std::string>{kLacksRoom + std::string(c.refusal) + "|exclamation"});
        EXPECT_TRUE(run.Events("purge").empty());
        EXPECT_EQ(FlashDifference(image, before), "");
    }
}

// ---------------------------------------------------------------------------------------------
// Package shapes: a name shape of each kind extraction could not write as named, crossed with a
// full update and a patch, on an installed tree with and without a part that conflicts. Each run
// either installs exactly the intended tree and record, or refuses with the flash volume byte for
// byte as before. Every shape's own reason is PlanShapes' (install_plan_test); one row per kind
// of refusal shows here that the installer stops before changing anything. In `entries`,
// "@manifest" stands for the manifest's bytes and empty content for a directory entry; in
// `conflict`, empty content for a directory.

struct ShapeCase {
    const char* name;
    std::vector<PackFile> entries;
    std::vector<PackFile> conflict;
    // For a full update, the same with the conflicting tree, a patch, the same: 'i' installs,
    // 'r' refused.
    const char* outcomes;
};

void PrintTo(const ShapeCase& c, std::ostream* os) {
    *os << c.name;
}

class PackageShape : public testing::TestWithParam<ShapeCase> {};

const PackFile kManifestEntry = {"VORIZ\\INDEX.INI", "@manifest"};
const PackFile kAppEntry = {"VORIZ\\app.bin", "application"};
// "\ResidentFlash2\" + "VORIZ\" + 233 + "\" + "abc" = 259 units: no room for "~qzpnew.tmp".
const std::string kLongDirectory = "VORIZ\\" + std::string(233, 'L');

TEST_P(PackageShape, InstallsExactlyOrRefusesBeforeAnyChange) {
    const ShapeCase& c = GetParam();
    for (int variant = 0; variant < 4; ++variant) {
        const bool patch = variant >= 2;
        const bool conflicting = variant % 2 == 1;
        SCOPED_TRACE(std::string(patch ? "patch" : "full update") +
                     (conflicting ? " over a conflicting tree" : ""));
        DeviceImage image;
        InstallVersion(image);
        if (conflicting) {
            for (const PackFile& f : c.conflict) {
                if (f.content.empty()) {
                    fs::create_directories(image.Host("ResidentFlash2/" + f.name));
                } else {
                    image.WriteFile("ResidentFlash2/" + f.name, f.content);
                }
            }
        }
        const std::string manifest =
            image.IniBytes(patch ? Manifest(u"2.1", 1, u"1.0") : Manifest(u"2.0"));
        std::vector<PackFile> package = c.entries;
        for (PackFile& f : package) {
            f.content = f.content == "@manifest" ? manifest : f.content;
        }
        image.WritePackage("SDMMC/VORIZ.QZP", package);
        const Tree before = image.FlashTree();

        const RunResult run = image.Run({"--answer", "ok"});

        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_FALSE(fs::is_directory(image.Host("VORIZ/INDEX.INI")));
        if (c.outcomes[variant] == 'r') {
            EXPECT_EQ(Boxes(run), std::vector<std::string>{kInvalid}) << run.out;
            EXPECT_TRUE(run.Events("purge").empty());
            EXPECT_TRUE(run.Events("decode_done").empty());
            EXPECT_EQ(FlashDifference(image, before), "");
            continue;
        }
        ExpectCompleted(run);
        const Tree installed = TreeOfPackage(package);
        EXPECT_EQ(FlashDifference(image, patch ? Merge(before, installed) : installed), "");
        EXPECT_EQ(image.FlashTree()["voriz/index.ini"], manifest);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, PackageShape,
    testing::Values(
        ShapeCase{"Plain", {{"VORIZ\\", ""}, kManifestEntry, kAppEntry}, {}, "iiii"},
        ShapeCase{"EmptyName", {kManifestEntry, {"", "x"}}, {}, "rrrr"},
        ShapeCase{"DirectoryThenFileOfTheSameName",
                  {kManifestEntry, {"X\\", ""}, {"X", "x"}},
                  {},
                  "rrrr"},
        ShapeCase{"ScratchNamesAsEntries",
                  {{"~", "t"}, {"VORIZ\\~QZPNEW.TMP", "s"}, kManifestEntry},
                  {},
                  "iiii"},
        ShapeCase{"TwoFilesOnOnePath",
                  {kManifestEntry, {"Dup.txt", "first"}, {"DUP.TXT", "second"}},
                  {{"dup.txt", "installed"}},
                  "iiii"},
        ShapeCase{
            "FileThenAFileBelowIt", {kManifestEntry, {"Y", "y"}, {"Y\\c.txt", "c"}}, {}, "rrrr"},
        ShapeCase{"FileNamedLikeAnInstalledDirectory",
                  {kManifestEntry, {"VORIZ\\Lang", "a file"}},
                  {{"VORIZ/Lang/en.txt", "installed"}},
                  "iiir"},
        ShapeCase{"DirectoryNamedLikeAnInstalledFile",
                  {kManifestEntry, {"Data\\", ""}, {"Data\\x.bin", "x"}},
                  {{"Data", "an installed file"}},
                  "iiir"},
        ShapeCase{
            "SlashesBetweenLevels", {kManifestEntry, {"a/b/c.txt", "c"}}, {{"a/b", ""}}, "rrri"},
        ShapeCase{"SlashesBelowEarlierDirectories",
                  {kManifestEntry, {"a\\", ""}, {"a\\b\\", ""}, {"a/b/c.txt", "c"}},
                  {},
                  "iiii"},
        ShapeCase{"ManifestWithSlash", {{"VORIZ/INDEX.INI", "@manifest"}, kAppEntry}, {}, "rrrr"},
        // Its copy in the root would be \\VORIZ\INDEX.INI, a network path.
        ShapeCase{"ManifestWithLeadingBackslash",
                  {{"\\VORIZ\\INDEX.INI", "@manifest"}, kAppEntry},
                  {},
                  "rrrr"},
        ShapeCase{"LeadingBackslashBelowTheFlashVolume",
                  {kManifestEntry, {"\\Top.txt", "t"}},
                  {},
                  "iiii"},
        ShapeCase{
            "ManifestInLowerCase", {{"voriz\\index.ini", "@manifest"}, kAppEntry}, {}, "iiii"},
        ShapeCase{"TwoManifests", {kManifestEntry, {"voriz\\INDEX.ini", "@manifest"}}, {}, "rrrr"},
        ShapeCase{"ManifestAsDirectoryEntry", {{"VORIZ\\INDEX.INI", ""}, kAppEntry}, {}, "rrrr"},
        ShapeCase{"FullLengthPathReplaced",
                  {kManifestEntry, {kLongDirectory + "\\abc", "new"}},
                  {{std::string("VORIZ/") + std::string(233, 'L') + "/abc", "old"}},
                  "iiii"}),
    [](const testing::TestParamInfo<ShapeCase>& info) { return info.param.name; });

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

// The loader program holding its named mutex, with a watch that counts the installer's attempts
// to take it. The loader ends at Release() or with this object.
class HeldLoader {
  public:
    explicit HeldLoader(DeviceImage& image) {
        image.WriteFile(".named/RURodera", "");
        const std::string lock = image.Host(".named/RURodera").string();
        lock_ = open(lock.c_str(), O_RDWR | O_CLOEXEC);
        watch_ = inotify_init1(IN_CLOEXEC);
        held_ = lock_ >= 0 && flock(lock_, LOCK_EX) == 0 && watch_ >= 0 &&
                inotify_add_watch(watch_, lock.c_str(), IN_OPEN) >= 0;
    }
    HeldLoader(const HeldLoader&) = delete;
    HeldLoader& operator=(const HeldLoader&) = delete;
    ~HeldLoader() {
        Release();
        if (watch_ >= 0)
            close(watch_);
    }
    bool Held() const { return held_; }
    bool AwaitAttempts(int count) const { return AwaitOpens(watch_, count); }
    void Release() {
        if (lock_ >= 0)
            close(lock_);
        lock_ = -1;
    }

  private:
    int lock_ = -1;
    int watch_ = -1;
    bool held_ = false;
};

TEST(StartUp, FindsAPackageThatAppearsAfterTheFirstQuery) {
    DeviceImage image;
    InstallVersion(image, u"");
    image.WritePackage("staged.qzp", FullPackage(image));
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    // Each query for the missing package searches the card's folder for another spelling.
    ASSERT_GE(inotify_add_watch(watch, image.Host("SDMMC").c_str(), IN_OPEN), 0);

    int out = -1;
    const int pid = image.Start({"--time-scale", "0.25"}, {}, out);
    const bool queried = AwaitOpens(watch, 1);
    fs::rename(image.Host("staged.qzp"), image.Host("SDMMC/VORIZ.QZP"));
    const RunResult run = image.Finish(pid, out);
    close(watch);

    ASSERT_TRUE(queried);
    ExpectCompleted(run);
    EXPECT_EQ(FlashDifference(image, TreeOfPackage(FullPackage(image))), "");
}

// ---------------------------------------------------------------------------------------------
// While the loader runs the installer waits, retrying, and changes nothing; a second installer
// started meanwhile ends at once, silently; the first installs whole once the loader ends.

TEST(OneInstallerAtATime, ASecondInstallerEndsAtOnceAndTheFirstWaitsForTheLoader) {
    DeviceImage image;
    InstallVersion(image, u"");
    InstallFull(image);
    const Tree before = image.FlashTree();
    // The first installer is held in its wait for the loader, with its own mutex taken.
    HeldLoader loader(image);
    ASSERT_TRUE(loader.Held());
    int out = -1;
    const int pid = image.Start({"--time-scale", "0.05"}, {}, out);
    const bool waiting = loader.AwaitAttempts(3);  // the first try and at least two retries

    const fs::path secondEvents = image.Scratch() / "second.jsonl";
    int secondOut = -1;
    const int second = image.Start({}, {}, secondOut, secondEvents);
    const RunResult secondRun = image.Finish(second, secondOut, secondEvents);
    const Tree whileWaiting = image.FlashTree();
    loader.Release();
    const RunResult run = image.Finish(pid, out);

    ASSERT_TRUE(waiting);
    EXPECT_EQ(secondRun.status, 0);
    EXPECT_EQ(secondRun.out, "");
    EXPECT_TRUE(secondRun.Events("messagebox").empty());
    EXPECT_TRUE(secondRun.Events("purge").empty());
    EXPECT_TRUE(secondRun.Events("decode_done").empty());
    EXPECT_EQ(TreeDifference(before, whileWaiting), "");
    ExpectCompleted(run);
    EXPECT_EQ(FlashDifference(image, TreeOfPackage(FullPackage(image))), "");
}

// ---------------------------------------------------------------------------------------------
// Links and FIFOs in the device image: the installer never writes through a link to a place
// outside the image, never blocks on a FIFO, and either installs exactly or changes nothing.

struct StrangeFileCase {
    const char* name;
    std::function<void(const DeviceImage&, const fs::path& outside)> setUp;
    bool patch;
    bool installs;
};

void PrintTo(const StrangeFileCase& c, std::ostream* os) {
    *os << c.name;
}

class StrangeFile : public testing::TestWithParam<StrangeFileCase> {};

TEST_P(StrangeFile, NothingOutsideTheImageChangesAndNothingHangs) {
    const StrangeFileCase& c = GetParam();
    DeviceImage image;
    InstallVersion(image);
    const fs::path outside = image.Scratch() / "outside";
    fs::create_directories(outside / "Lang");
    image.WriteFile("../outside/victim.txt", "outside the image");
    const std::vector<PackFile> package =
        c.patch ? PatchPackage(image, u"1.0") : FullPackage(image);
    image.WritePackage("SDMMC/VORIZ.QZP", package);
    c.setUp(image, outside);
    const Tree outsideBefore = DeviceImage::TreeOf(outside);
    const Tree flashBefore = image.FlashTree();

    const RunResult run = image.Run();  // a run that blocks is ended by the harness's alarm

    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(TreeDifference(outsideBefore, DeviceImage::TreeOf(outside)), "");
    if (c.installs) {
        ExpectCompleted(run);
    } else {
        EXPECT_EQ(Boxes(run), std::vector<std::string>{"[Error] Invalid update File|stop"});
        EXPECT_EQ(FlashDifference(image, flashBefore), "");
    }
}

void Link(const DeviceImage& image, const fs::path& target, const std::string& relative) {
    fs::remove_all(image.Host(relative));
    fs::create_symlink(target, image.Host(relative));
}

void Fifo(const DeviceImage& image, const std::string& relative) {
    fs::remove_all(image.Host(relative));
    ASSERT_EQ(mkfifo(image.Host(relative).c_str(), 0644), 0);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceImage, StrangeFile,
    testing::Values(StrangeFileCase{"PatchIntoAFolderLinkedOutside",
                                    [](const DeviceImage& image, const fs::path& outside) {
                                        Link(image, outside / "Lang", "ResidentFlash2/VORIZ/Lang");
                                    },
                                    true, false},
                    StrangeFileCase{"PatchOverAFileLinkedOutside",
                                    [](const DeviceImage& image, const fs::path& outside) {
                                        Link(image, outside / "victim.txt",
                                             "ResidentFlash2/VORIZ/VORIZ.exe");
                                    },
                                    true, false},
                    StrangeFileCase{"PatchOverAFifo",
                                    [](const DeviceImage& image, const fs::path&) {
                                        Fifo(image, "ResidentFlash2/VORIZ/VORIZ.exe");
                                    },
                                    true, false},
                    StrangeFileCase{"FullUpdateOverAFolderLinkedOutside",
                                    [](const DeviceImage& image, const fs::path& outside) {
                                        Link(image, outside, "ResidentFlash2/VORIZ");
                                    },
                                    false, true},
                    StrangeFileCase{"CardSettingsAsAFifo",
                                    [](const DeviceImage& image, const fs::path&) {
                                        Fifo(image, "SDMMC/kvupdate.ini");
                                    },
                                    false, true},
                    StrangeFileCase{"PackageLinkedOutside",
                                    [](const DeviceImage& image, const fs::path& outside) {
                                        fs::rename(image.Host("SDMMC/VORIZ.QZP"),
                                                   outside / "VORIZ.QZP");
                                        Link(image, outside / "VORIZ.QZP", "SDMMC/VORIZ.QZP");
                                    },
                                    false, false}),
    [](const testing::TestParamInfo<StrangeFileCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Power cuts and failed writes: the run is cut at (or fails) its 1st, 2nd, ... write; running the
// installer again on the same image must finish the update. The sweep ends at the first run that
// is not cut, or that a failed write leaves complete.

struct SweepCase {
    const char* name;
    std::function<std::vector<PackFile>(const DeviceImage&)> package;
    bool patch;
    bool fail = false;  // the write fails instead of the power
};

void PrintTo(const SweepCase& c, std::ostream* os) {
    *os << c.name;
}

class PowerCut : public testing::TestWithParam<SweepCase> {};

constexpr int kPowerCutStatus = 86;

// Both kinds with a logo on the card over an installed one: the new record is the extraction's
// last entry, written whole or not at all, so a cut anywhere before it repeats the whole update;
// the new logo is copied only after it, so no cut leaves the new logo without the new record.
TEST_P(PowerCut, RunningAgainFinishesTheUpdate) {
    const SweepCase& c = GetParam();
    const std::string oldLogo = Filler(70000, 3, false);
    const std::string newLogo = Filler(70000, 4, false);
    int cutPoints = 0;
    const auto setUp = [&](const DeviceImage& image) {
        InstallVersion(image);
        image.WriteFile("ResidentFlash2/PowerOffLogo.bmp", oldLogo);
        image.WriteFile("SDMMC/PowerOffLogo.bmp", newLogo);
        const auto package = c.package(image);
        image.WritePackage("SDMMC/VORIZ.QZP", package);
        return package;
    };
    // Whether a run makes a k-th write: a failed write may stop nothing (the card's log's).
    const auto cutAt = [&](int k) {
        DeviceImage image;
        setUp(image);
        return image.Run({}, {"QZP_FAULT_CUT_AT_WRITE=" + std::to_string(k)}).status ==
               kPowerCutStatus;
    };
    for (int k = 1; k < 200; ++k) {
        DeviceImage image;
        const auto package = setUp(image);
        const std::string oldRecord = image.FlashTree().at("voriz/index.ini");
        Tree expected =
            c.patch ? Merge(image.FlashTree(), TreeOfPackage(package)) : TreeOfPackage(package);
        expected["powerofflogo.bmp"] = newLogo;

        const RunResult cut =
            image.Run({}, {(c.fail ? "QZP_FAULT_FAIL_AT_WRITE=" : "QZP_FAULT_CUT_AT_WRITE=") +
                           std::to_string(k)});
        if (c.fail ? !cutAt(k) : cut.status != kPowerCutStatus) {
            ExpectCompleted(cut);
            EXPECT_EQ(FlashDifference(image, expected), "");
            break;
        }
        cutPoints = k;
        // Over an installed tree every existing file is replaced whole: the logo is the old or
        // the new one at every cut. (After a purge the package's files are new and written in
        // place; the rerun rewrites them.)
        if (c.patch) {
            const std::string logo = image.FlashTree().at("powerofflogo.bmp");
            EXPECT_TRUE(logo == oldLogo || logo == newLogo)
                << "cut at write " << k << ": a logo of " << logo.size() << " bytes";
        }
        const Tree after = image.FlashTree();
        const auto logo = after.find("powerofflogo.bmp");
        const auto record = after.find("voriz/index.ini");
        const bool recorded =
            record != after.end() && record->second == expected.at("voriz/index.ini");
        EXPECT_TRUE(recorded || record == after.end() || record->second == oldRecord)
            << "cut at write " << k << ": a record of " << record->second.size() << " bytes";
        EXPECT_TRUE(recorded || logo == after.end() || logo->second != newLogo)
            << "cut at write " << k << ": the new logo before the new record";
        if (recorded && (logo == after.end() || logo->second != newLogo)) {
            // Cut in the logo's copy: the update is installed, the logo is left as a failed copy
            // leaves it (the rerun of a patch is then refused, rightly).
            Tree rest = after;
            rest.erase("powerofflogo.bmp");
            rest.erase("~qzpnew.tmp");  // a cut copy's scratch file, reused by the next update
            Tree wanted = expected;
            wanted.erase("powerofflogo.bmp");
            EXPECT_EQ(rest, wanted) << "cut at write " << k;
            continue;
        }
        // Only a cut after the record leaves the update installed; the rerun of a patch is then
        // refused, rightly.
        const bool installed = FlashDifference(image, expected).empty();
        const RunResult again = image.Run();
        if (!installed) {
            ExpectCompleted(again);
        }
        EXPECT_EQ(FlashDifference(image, expected), "") << "cut at write " << k;
        if (testing::Test::HasFailure()) {
            ADD_FAILURE() << "first failing cut: write " << k;
            break;
        }
    }
    EXPECT_GE(cutPoints, 8);  // at least one write per data block, and the logo's two
    RecordProperty("power_cut_points", cutPoints);
    std::printf("[ power cut ] %s: N = %d writes, the run cut at each in turn\n", c.name,
                cutPoints);
}

INSTANTIATE_TEST_SUITE_P(
    Sweep, PowerCut,
    testing::Values(
        SweepCase{"FullPackage", [](const DeviceImage& i) { return FullPackage(i); }, false},
        SweepCase{"Patch", [](const DeviceImage& i) { return PatchPackage(i, u"1.0"); }, true},
        SweepCase{"FullPackageFailing", [](const DeviceImage& i) { return FullPackage(i); }, false,
                  true},
        SweepCase{"PatchFailing", [](const DeviceImage& i) { return PatchPackage(i, u"1.0"); },
                  true, true}),
    [](const testing::TestParamInfo<SweepCase>& info) { return info.param.name; });

}  // namespace
}  // namespace apptest
