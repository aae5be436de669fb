// The update session in-process, as the installer runs it (Start, the extraction, Finish), on a
// device image made here and read through the default device state: each row states where the run
// stops (the outcome as the log writes it) and the flash volume it leaves. A refusal leaves the
// flash volume byte for byte; a signature refusal, the whole image.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "app/update_session.h"
#include "app_fixture.h"
#include "package/package_archive.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/posix/host.h"
#include "platform/text.h"

namespace apptest {
namespace {

const std::string kCardLogo = "logo from the card";
// How every update that installs ends: the restart, with no vendor library on the image.
const char* const kInstalled = "restart: velmorin.dll not found; ends without a message";

// Puts `package` on the card: the flash volume a full update leaves, or a patch over the image.
Tree Card(const DeviceImage& image, const std::vector<PackFile>& package, bool patch = false) {
    const Tree before = image.FlashTree();
    image.WritePackage("SDMMC/VORIZ.QZP", package);
    return patch ? Merge(before, TreeOfPackage(package)) : TreeOfPackage(package);
}

// A full update over 1.0, with a logo on the card that replaces the package's.
Tree FullOverV1(const DeviceImage& image) {
    InstallVersion(image);
    image.WriteFile("SDMMC/PowerOffLogo.bmp", kCardLogo);
    Tree expected = Card(image, FullPackage());
    expected["powerofflogo.bmp"] = kCardLogo;
    return expected;
}

using Setup = std::function<Tree(const DeviceImage&, const Keys&)>;

// Trusts both keys, the package signed with "release", then `damage` done to the image.
Setup Signed(void (*damage)(const DeviceImage&)) {
    return [damage](const DeviceImage& i, const Keys& keys) {
        const Tree expected = FullOverV1(i);
        i.WriteFile("Windows/qzpupdate.pub", keys.stranger.publicText + keys.release.publicText);
        keys.Sign(i, keys.release);
        damage(i);
        return expected;
    };
}

using Files = std::vector<PackFile>;

// Version 1.0 installed and the package `make` builds around a manifest of 2.0 on the card.
Setup OnV1(Files (*make)(const std::string& manifest)) {
    return [=](const DeviceImage& i, const Keys&) {
        InstallVersion(i);
        return Card(i, make(IniBytes(Manifest(u"2.0"))));
    };
}

// A full update over 1.0, then `change` made to the image.
Setup Then(void (*change)(const DeviceImage&)) {
    return [=](const DeviceImage& i, const Keys&) {
        const Tree expected = FullOverV1(i);
        change(i);
        return expected;
    };
}

// Flips a byte inside the first data block of VORIZ.exe in FullPackage on the card.
void DamageExeBlock(const DeviceImage& image) {
    std::string bytes = ReadAll(image.Host("SDMMC/VORIZ.QZP"));
    bytes.at(8000) ^= 0x5A;
    image.WriteFile("SDMMC/VORIZ.QZP", bytes);
}

// `values` after 400 keys of 100 units (over 80 KB).
std::vector<IniValue> Padded(std::vector<IniValue> values) {
    for (int k = 0; k < 400; ++k) {
        const std::u16string n = platform::Utf8ToUtf16(std::to_string(k));
        values.insert(values.begin(), {u"Filler", u"k" + n, std::u16string(100, u'v')});
    }
    return values;
}

void NoVersionRecord(const DeviceImage& image) {
    image.WriteIni("ResidentFlash2/VORIZ/index.ini", {{u"Config", u"Other", u"x"}});
}

// What a run did, from the session's outcomes and the scripted confirmer.
struct Runner : app::SessionObserver {
    const DeviceImage* image = nullptr;
    std::string asked;  // "2.0 over 1.0" when the confirmation was asked
    std::vector<std::string> lines;
    std::vector<uint32_t> positions;
    std::vector<app::SignatureReport> signatures;
    std::string stop;

    void OnStep(const app::StepOutcome& outcome) override {
        lines.push_back(app::DescribeStep(outcome));
    }
    void OnSignature(const app::SignatureReport& report) override { signatures.push_back(report); }
    // Answers OK; a package left at swapped.qzp is moved over the card's while the question waits.
    static bool Confirm(void* context, const std::u16string& package,
                        const std::u16string& installed, std::u16string&) {
        auto* run = static_cast<Runner*>(context);
        run->asked = platform::Utf16ToUtf8(package + u" over " + installed);
        if (fs::exists(run->image->Host("swapped.qzp"))) {
            fs::rename(run->image->Host("swapped.qzp"), run->image->Host("SDMMC/VORIZ.QZP"));
        }
        return true;
    }
    // How many times the package's size the extraction's record says was read from the card.
    double CardReads() const {
        for (const std::string& line : lines) {
            const std::size_t at = line.find("the package read ");
            if (line.rfind("record: ", 0) == 0 && at != std::string::npos)
                return std::atof(line.c_str() + at + 17);
        }
        return -1;
    }

    void Session(const DeviceImage& on, const platform::FaultPlan& faults = {}) {
        platform::host::Configure({.timeScale = 0});
        image = &on;
        const auto files = platform::FileSystem::DeviceImage(on.Root().string());
        files->PlanFaults(faults);
        platform::UseFiles bound(*files);
        app::DeviceState device;
        app::UpdateSession session(device, {true, &Runner::Confirm, nullptr, this}, this);
        if (session.Start()) {
            const auto progress = [](void* self, uint32_t position) {
                static_cast<Runner*>(self)->positions.push_back(position);
            };
            session.Finish(session.Extract(progress, this));
        }
        stop = app::DescribeStep(session.Stopped());
    }
};

// The image but the lock files the run makes and, after the manifest step, its copy in the root.
Tree ImageTree(const DeviceImage& image, bool withManifestCopy) {
    Tree tree;
    for (const auto& [name, content] : DeviceImage::TreeOf(image.Root())) {
        if (name.rfind(".named/", 0) != 0 && (withManifestCopy || name.rfind("voriz/", 0) != 0))
            tree[name] = content;
    }
    return tree;
}

// The room, to the unit, on a flash volume the image states (16 KB in units of 4 KB, a patch 4 KB
// more): the installed tree takes three units; a full update needs VORIZ\, its manifest and the
// data, a patch the new data beside the old.
Setup Room(bool patch, std::size_t dataBytes) {
    return [=](const DeviceImage& i, const Keys&) {
        i.WriteFile("ResidentFlash2/VORIZ/data.bin", Filler(4096, 3, false));
        i.WriteIni("ResidentFlash2/VORIZ/index.ini", {{u"Config", u"SoftwareVersion", u"1.0"}});
        i.WriteFile(".named/ResidentFlash2.volume", patch ? "20480 4096" : "16384 4096");
        return Card(
            i,
            {{"VORIZ\\INDEX.INI", IniBytes(patch ? Manifest(u"2.1", 1, u"1.0") : Manifest(u"2.0"))},
             {"VORIZ\\data.bin", Filler(dataBytes, 4, false)}},
            patch);
    };
}

// A patch over 1.0 whose `path` is a link to `target` in a folder beside the image, or a FIFO when
// `target` is null.
Setup Strange(const char* path, const char* target) {
    return [=](const DeviceImage& i, const Keys&) {
        InstallVersion(i);
        fs::create_directories(i.Scratch() / "outside/Lang");
        i.WriteFile("../outside/victim.txt", "outside the image");
        const Tree expected = Card(i, PatchPackage(u"1.0"), true);
        fs::remove_all(i.Host(path));
        if (target == nullptr) {
            mkfifo(i.Host(path).c_str(), 0644);
        } else {
            fs::create_symlink(i.Scratch() / "outside" / target, i.Host(path));
        }
        return expected;
    };
}

struct SessionCase {
    const char* name;
    // Prepares the image; returns the flash volume an install leaves.
    Setup setUp;
    std::string stop = kInstalled;         // the stopping outcome's line
    std::string asked = "";                // the confirmation's versions, when asked
    std::vector<uint32_t> positions = {};  // the bar's, when given
};

const std::string kV2OverV1 = "2.0 over 1.0";
const std::string kInvalid = "; shows \"Invalid update File\"";

const SessionCase kSessions[] = {
    // The waits, the decision and the confirmation.
    {"NoPackage", Then([](const DeviceImage& i) { fs::remove(i.Host("SDMMC/VORIZ.QZP")); }),
     "package: no \\SDMMC\\VORIZ.QZP; ends without a message"},
    {"RecordWithoutVersion",
     [](const DeviceImage& i, const Keys&) {
         InstallVersion(i, u"");
         NoVersionRecord(i);
         return Card(i, FullPackage());
     },
     kInstalled, "2.0 over undetected"},
    {"NoManifest", OnV1([](const std::string&) -> Files {
         return {{"VORIZ\\VORIZ.exe", "exe"}, {"Readme.txt", "hello"}};
     }),
     kInstalled, " over 1.0"},
    // Card settings and a manifest far over 32 KB are read: tips off, no question.
    {"TipsOffInLargeCardSettings",
     [](const DeviceImage& i, const Keys&) {
         i.WriteIni("SDMMC/kvupdate.ini", Padded({{u"Config", u"IsShowUpdateTips", u"0"}}));
         return FullOverV1(i);
     }},
    {"LargeManifest",
     [](const DeviceImage& i, const Keys&) {
         InstallVersion(i);
         return Card(i, {{"VORIZ\\INDEX.INI", IniBytes(Padded(Manifest(u"2.0")))}});
     },
     kInstalled, kV2OverV1},
    // Signatures, on a device that trusts a second key first.
    {"Signed", Signed([](const DeviceImage&) {}), kInstalled, kV2OverV1},
    // The package on the card is replaced by another one after the signature was checked, while
    // the confirmation waits: the session extracts through the file it checked.
    {"PackageSwappedDuringTheConfirmation", Signed([](const DeviceImage& i) {
         i.WritePackage("swapped.qzp", FullPackage("a package nobody signed"));
     }),
     kInstalled, kV2OverV1},
    {"NoSignature",
     Signed([](const DeviceImage& i) { fs::remove(i.Host("SDMMC/VORIZ.QZP.minisig")); }),
     "signature: no signature file, or it cannot be read" + kInvalid},
    {"KeyFileUnreadable", Signed([](const DeviceImage& i) {
         fs::remove(i.Host("Windows/qzpupdate.pub"));
         fs::create_directories(i.Host("Windows/qzpupdate.pub"));
     }),
     "signature: the key file cannot be read" + kInvalid},
    // The pass stopped at a damaged entry: the check names it.
    {"DamagedEntryIsTheReason", Signed(DamageExeBlock),
     "check: VORIZ\\VORIZ.exe: block does not inflate (block 0)" + kInvalid},
    // A record the device cannot read is no missing one: versions stay ordered.
    {"InstalledRecordUnreadable", Signed([](const DeviceImage& i) {
         i.WriteFile("ResidentFlash2/VORIZ/index.ini", "[Config]\nSoftwareVersion=3\n");
     }),
     "decision: the installed version record is no UTF-16 settings file, or cannot be read" +
         kInvalid},
    {"InstalledRecordWithoutVersion", Signed(NoVersionRecord),
     "decision: the installed version record is without a version" + kInvalid},
    // The way back for such a device: a signed package that allows a downgrade.
    {"WayBackOverARecordWithoutVersion",
     [](const DeviceImage& i, const Keys& keys) {
         Signed(NoVersionRecord)(i, keys);
         std::vector<IniValue> manifest = Manifest(u"0.9");
         manifest.push_back({u"UpdateInfo", u"AllowDowngrade", u"1"});
         Tree expected = Card(i, {{"VORIZ\\INDEX.INI", IniBytes(manifest)}});
         keys.Sign(i, keys.release);
         expected["powerofflogo.bmp"] = kCardLogo;
         return expected;
     },
     kInstalled, "0.9 over undetected"},
    // The package, its check and its manifest.
    {"NotAPackage", Then([](const DeviceImage& i) {
         i.WriteFile("SDMMC/VORIZ.QZP", "this is not a package at all");
     }),
     "open: not a readable package" + kInvalid},
    {"NoEntries", [](const DeviceImage& i, const Keys&) { return Card(i, {}); },
     "check: no entries" + kInvalid},
    {"CorruptBlock", Then(DamageExeBlock),
     "check: VORIZ\\VORIZ.exe: block does not inflate (block 0)" + kInvalid},
    {"ManifestSpeltWithALeadingBackslash", OnV1([](const std::string& m) -> Files {
         return {{"\\VORIZ\\INDEX.INI", m}, {"VORIZ\\VORIZ.exe", "exe"}};
     }),
     "manifest: \\VORIZ\\INDEX.INI: name has an empty level" + kInvalid},
    // Any entry's bad name refuses the package when it is opened, before its pass.
    {"EmptyName", OnV1([](const std::string& m) -> Files {
         return {{"VORIZ\\INDEX.INI", m}, {"", "x"}};
     }),
     "open: empty name" + kInvalid},
    // An earlier run may have left a directory where the manifest's copy goes.
    {"LeftoverDirectoryAtTheManifestsCopy",
     Then([](const DeviceImage& i) { fs::create_directories(i.Host("VORIZ/INDEX.INI")); }),
     kInstalled, kV2OverV1},
    // Nothing to extract but the record: the update still completes after the purge.
    {"ManifestAlone", OnV1([](const std::string& m) -> Files {
         return {{"VORIZ\\INDEX.INI", m}};
     }),
     kInstalled, kV2OverV1},
    // The bar counts the record's bytes with the others'.
    {"ThreeEqualBlocksOneTheManifest",
     OnV1([](const std::string& m) -> Files {
         return {{"a.ini", m}, {"VORIZ\\INDEX.INI", m}, {"b.ini", m}};
     }),
     kInstalled,
     kV2OverV1,
     {33, 66, 100}},
    // The plan over the tree the update finds.
    {"PatchFileOverAnInstalledDirectory",
     [](const DeviceImage& i, const Keys&) {
         InstallVersion(i);
         fs::remove(i.Host("ResidentFlash2/VORIZ/VORIZ.exe"));
         fs::create_directories(i.Host("ResidentFlash2/VORIZ/VORIZ.exe"));
         return Card(i, PatchPackage(u"1.0"), true);
     },
     "plan: VORIZ\\VORIZ.exe: a directory stands where the file goes" + kInvalid},
    // What an installed version keeps at scratch names (a folder, files: legal names) where the
    // patch and the logo's copy replace files, and a record on the card that names a file no run
    // could have left: the patch chooses a free base, and every one of them stays.
    {"PatchBesideWhatStandsAtTheScratchNames",
     [](const DeviceImage& i, const Keys&) {
         InstallVersion(i);
         i.WriteFile("ResidentFlash2/VORIZ/~QZPNEW.TMP/kept.txt", "kept");
         i.WriteFile("ResidentFlash2/VORIZ/_qzpnew.tmp", "installed");
         i.WriteFile("ResidentFlash2/$QZPNEW.TMP", "installed too");
         i.WriteFile("SDMMC/qzpupdate.scr", "\\ResidentFlash2\\VORIZ\\old.txt\n");
         i.WriteFile("SDMMC/PowerOffLogo.bmp", kCardLogo);
         Tree expected = Card(i, PatchPackage(u"1.0"), true);
         expected["powerofflogo.bmp"] = kCardLogo;
         return expected;
     }},
    // Links and FIFOs where a patch writes: the plan refuses them before anything is written. (That
    // the file services never follow a link nor wait on a FIFO, and that the purge removes links,
    // is the platform's to show.)
    {"PatchIntoAFolderLinkedOutside", Strange("ResidentFlash2/VORIZ/Lang", "Lang"),
     "plan: VORIZ\\Lang\\en.txt: a link or device file stands on the path" + kInvalid},
    {"PatchOverAFileLinkedOutside", Strange("ResidentFlash2/VORIZ/VORIZ.exe", "victim.txt"),
     "plan: VORIZ\\VORIZ.exe: a link or device file stands on the path" + kInvalid},
    {"PatchOverAFifo", Strange("ResidentFlash2/VORIZ/VORIZ.exe", nullptr),
     "plan: VORIZ\\VORIZ.exe: a link or device file stands on the path" + kInvalid},
    {"FullOneByteOver", Room(false, 8193),
     "room: needs 20 KB, 16 KB available; shows \"The flash volume ResidentFlash2 "
     "lacks room for this update: it needs 20 KB, 16 KB are available.\"",
     kV2OverV1},
    {"PatchExactFit", Room(true, 8192)},
    {"PatchOneByteOver", Room(true, 8193),
     "room: needs 12 KB, 8 KB available; shows \"The flash volume ResidentFlash2 "
     "lacks room for this update: it needs 12 KB, 8 KB are available.\""},
};

// Every case runs twice: with the catalogue's names in memory, and left on the card (as a
// catalogue too large to keep them has them), where the plans take them from the open's and the
// check's own reads of the directory.
TEST(Session, StopsWhereItShouldAndLeavesTheExpectedFlashVolume) {
    for (const SessionCase& c : kSessions) {
        for (const uint32_t kept : {PackageArchive::kKeptNameBytes, 0u}) {
            SCOPED_TRACE(std::string(c.name) + (kept == 0 ? ", names on the card" : ""));
            PackageArchive::SetKeptNameBytes(kept);
            DeviceImage image;
            const Keys keys;
            const Tree expected = c.setUp(image, keys);
            const bool early =
                c.stop.rfind("signature: ", 0) == 0 || c.stop.rfind("check: ", 0) == 0;
            const Tree before = ImageTree(image, early);
            Runner run;

            run.Session(image);
            PackageArchive::SetKeptNameBytes(PackageArchive::kKeptNameBytes);

            EXPECT_EQ(run.stop, c.stop);
            EXPECT_EQ(run.asked, c.asked);
            if (c.stop != kInstalled) {
                EXPECT_EQ(TreeDifference(before, ImageTree(image, early)), "");
                continue;
            }
            EXPECT_EQ(TreeDifference(expected, image.FlashTree()), "");
            EXPECT_GE(run.CardReads(), 1.0);
            EXPECT_LE(run.CardReads(), 2.0);
            EXPECT_TRUE(std::is_sorted(run.positions.begin(), run.positions.end()));
            EXPECT_EQ(run.positions.empty() ? 0 : run.positions.back(), 100u);
            EXPECT_TRUE(c.positions.empty() || run.positions == c.positions);
            // A device with keys reports the signature that held, with its key and trusted comment.
            if (fs::exists(image.Host("Windows/qzpupdate.pub"))) {
                ASSERT_EQ(run.signatures.size(), 1u);
                EXPECT_EQ(run.signatures[0].result, 1);
                EXPECT_EQ(run.signatures[0].keyId, keys.release.id);
                EXPECT_EQ(run.signatures[0].trustedComment, Keys::Comment());
            }
        }
    }
}

// A purge the shell fails (a file in use; what it deleted stays deleted) stops the update; one the
// user cancels part way goes on and installs the full package over what is left.
TEST(SessionPurge, AFailureStopsTheUpdateACancelInstallsOverWhatIsLeft) {
    for (const bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled ? "cancelled" : "a file in use");
        DeviceImage image;
        const Tree package = FullOverV1(image);
        image.WriteFile("ResidentFlash2/VORIZ/busy.dat", "in use");
        const Tree before = image.FlashTree();
        const int busy =
            open(image.Host("ResidentFlash2/VORIZ/busy.dat").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_TRUE(busy >= 0 && flock(busy, cancelled ? LOCK_SH : LOCK_EX) == 0);
        Runner run;

        run.Session(image, {.purgeAborted = cancelled});
        close(busy);

        EXPECT_TRUE(fs::exists(image.Host("ResidentFlash2/VORIZ/busy.dat")));
        if (cancelled) {
            EXPECT_EQ(run.stop, kInstalled);
            EXPECT_EQ(TreeDifference(Merge(before, package), image.FlashTree()), "");
            EXPECT_NE(std::find(run.lines.begin(), run.lines.end(),
                                "purge: cancelled part way; installing over what is left"),
                      run.lines.end());
        } else {
            EXPECT_EQ(run.stop.rfind("purge: the shell's delete failed with ", 0), 0u) << run.stop;
        }
    }
}

}  // namespace
}  // namespace apptest
