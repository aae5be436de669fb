// `qzp check --device` against the installer itself: over a generated matrix of packages (every
// manifest spelling, patches, downgrades, damaged and empty ones), signatures and device states,
// what qzp predicts must be what qzpupdate then does on the same image, judged from its events.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <utility>

#include "app_fixture.h"

namespace apptest {
namespace {

using nlohmann::json;

// What qzp predicts or the installer did: the outcome (refuse, patch, full-asks,
// full-no-question) and the refusal's message.
using Prediction = std::pair<std::string, std::string>;

// What the installer did, from its events: the message box that refused it, or how it installed.
Prediction OutcomeOfRun(const RunResult& run) {
    const bool installed = !run.Events("decode_done").empty();
    const auto boxes = run.Events("messagebox");
    if (!installed && !boxes.empty()) {
        return {"refuse", boxes.front().value("text", "")};
    }
    if (!run.Events("confirm").empty()) {
        return {"full-asks", ""};
    }
    if (!run.Events("purge").empty()) {
        return {"full-no-question", ""};
    }
    return {installed ? "patch" : "nothing", ""};
}

// The packages of the matrix, by what their manifest says and how it is stored.
struct PackageKind {
    const char* name;
    std::vector<PackFile> files;
    bool damaged = false;  // a byte of a block flipped after packing
};

// A package of two files and a folder, with `manifest` stored as `manifestName` (none when empty)
// and `more` after them.
std::vector<PackFile> Files(const std::string& manifestName, const std::string& manifest,
                            const std::vector<PackFile>& more = {}) {
    std::vector<PackFile> files = {{"VORIZ\\", ""},
                                   {"VORIZ\\VORIZ.exe", Filler(30000, 11, false)},
                                   {"VORIZ\\Maps\\region01.dat", Filler(20000, 12, true)}};
    if (!manifestName.empty()) {
        files.insert(files.begin() + 1, {manifestName, manifest});
    }
    files.insert(files.end(), more.begin(), more.end());
    return files;
}

std::vector<PackageKind> Kinds() {
    const std::string v2 = IniBytes(Manifest(u"2.0"));
    const auto patch = [](const std::u16string& old) {
        return Files("VORIZ\\INDEX.INI", IniBytes(Manifest(u"2.1", 1, old)));
    };
    return {
        {"full", Files("VORIZ\\INDEX.INI", v2)},
        {"full-lower-case", Files("voriz\\index.ini", v2)},
        {"full-leading-backslash", Files("\\VORIZ\\INDEX.INI", v2)},
        {"full-slash", Files("VORIZ/INDEX.INI", v2)},
        {"no-manifest", Files("", v2)},
        {"two-manifests", Files("VORIZ\\INDEX.INI", v2, {{"Voriz\\Index.ini", v2}})},
        {"patch-for-1.0", patch(u"1.0")},
        {"patch-for-1.5", patch(u"1.5")},
        {"patch-for-no-record", patch(u"UNDETECTED")},
        {"manifest-not-utf16", Files("VORIZ\\INDEX.INI", "[Config]\r\nSoftwareVersion=2.0\r\n")},
        {"older", Files("VORIZ\\INDEX.INI", IniBytes(Manifest(u"0.9")))},
        {"older-allowed",
         Files("VORIZ\\INDEX.INI", IniBytes({{u"Config", u"SoftwareVersion", u"0.9"},
                                             {u"UpdateInfo", u"AllowDowngrade", u"1"}}))},
        // A name that fits 259 units alone but not below \ResidentFlash2\, where the device
        // writes it; qzp pack refuses it, another packer might not.
        {"name-too-long-below-flash",
         Files("VORIZ\\INDEX.INI", v2, {{"VORIZ\\" + std::string(238, 'n'), "x"}})},
        {"damaged", Files("VORIZ\\INDEX.INI", v2), true},
        {"empty", {}},
    };
}

enum class Signing { kNone, kGood, kForeign, kTampered };

TEST(CheckMatrix, QzpCheckPredictsWhatTheInstallerDoes) {
    const Keys keys;
    const std::string qzp = (BinDir() / "qzp").string();
    const std::vector<PackageKind> kinds = Kinds();
    std::map<std::string, int> seen;
    std::set<std::string> messages;
    // Every kind with every signing, on a device without and with the key. The state rotates
    // through the rows: record 1.0 (with the key) or none, tips on or off, the flash volume as the
    // host has it, ample, or too small for any of these packages, a folder at the manifest's copy.
    for (int row = 1; row <= static_cast<int>(kinds.size()) * 8; ++row) {
        const PackageKind& kind = kinds[(row - 1) / 8];
        const auto signing = static_cast<Signing>((row - 1) / 2 % 4);
        const bool trusts = row % 2 == 0;
        SCOPED_TRACE(std::string(kind.name) + ", signing " +
                     std::to_string(static_cast<int>(signing)) + ", row " + std::to_string(row));
        DeviceImage image;
        if (trusts) {
            InstallVersion(image);
            image.WriteFile("Windows/qzpupdate.pub", keys.release.publicText);
        }
        if (row % 3 == 0) {
            image.WriteIni("SDMMC/kvupdate.ini", {{u"Config", u"IsShowUpdateTips", u"0"}});
        }
        if (row % 5 == 1 || row % 5 == 2) {
            image.WriteFile(".named/ResidentFlash2.volume",
                            row % 5 == 1 ? "40960 4096\n" : "104857600 4096\n");
        }
        if (row % 11 == 3 || row % 11 == 4) {  // a folder at the manifest's copy, empty or not
            fs::create_directories(image.Host("VORIZ/INDEX.INI"));
            image.WriteFile(row % 11 == 3 ? "VORIZ/INDEX.INI/x" : "VORIZ/y", "x");
        }
        const std::string package = image.Host("SDMMC/VORIZ.QZP").string();
        image.WritePackage("SDMMC/VORIZ.QZP", kind.files);
        if (kind.damaged) {
            std::string bytes = ReadAll(package);
            bytes[bytes.size() / 3] ^= 0x5A;
            image.WriteFile("SDMMC/VORIZ.QZP", bytes);
        }
        if (signing != Signing::kNone) {
            keys.Sign(image, signing == Signing::kForeign ? keys.stranger : keys.release);
        }
        if (signing == Signing::kTampered) {
            image.WriteFile("SDMMC/VORIZ.QZP", ReadAll(package) + "appended");
        }

        int status = -1;
        const std::string out = Capture(qzp + " check --json " + package + " --device " +
                                            image.Root().string() + " 2>/dev/null",
                                        &status);
        const json predicted = json::parse(out, nullptr, false);
        ASSERT_FALSE(predicted.is_discarded()) << out;
        const auto text = [&](const char* key) {  // an absent value is null
            return predicted[key].is_string() ? predicted[key].get<std::string>() : "";
        };
        const Prediction prediction{text("outcome"), text("message")};
        const Tree before = image.FlashTree();
        const RunResult run = image.Run({"--answer", "ok"});
        const Prediction actual = OutcomeOfRun(run);

        EXPECT_EQ(prediction, actual) << run.out;
        if (signing == Signing::kNone && !trusts && row % 11 != 3) {
            // info's verdict is check's for a device of any state: "Invalid update File".
            const std::string info = Capture(qzp + " info --json " + package);
            const json described = json::parse(info, nullptr, false);
            const std::string verdict = described.value("kind", "");
            // A package refused for a name still shows its manifest.
            EXPECT_TRUE(std::string_view(kind.name) != "two-manifests" ||
                        described.value("version", json()) == "2.0");
            EXPECT_EQ(verdict.find("shows \"Invalid update File\"") != std::string::npos,
                      actual.second == "Invalid update File")
                << verdict;
        }
        EXPECT_EQ(status, actual.first == "refuse" ? 1 : 0);
        // The installed version is known from the decision on.
        const std::string step = text("step");
        if (step != "open" && step != "signature" && step != "check" && step != "manifest") {
            EXPECT_EQ(text("installedVersion"), trusts ? "1.0" : "undetected");
        }
        if (actual.first == "refuse") {
            EXPECT_EQ(TreeDifference(before, image.FlashTree()), "");
        }
        ++seen[actual.first];
        messages.insert(actual.second);
    }
    for (const char* outcome : {"refuse", "patch", "full-asks", "full-no-question"}) {
        EXPECT_GT(seen[outcome], 0) << "no row ends in " << outcome;
    }
    EXPECT_TRUE(
        messages.count("Update refused: version 0.9 is older than the installed version 1.0."))
        << "no row refuses a signed downgrade";
}

// qzp extract writes the device's tree: names that differ in letter case alone land on the first
// spelling's path, with the later entry's bytes.
TEST(QzpExtract, WritesTheDevicesTreeForCaseVariants) {
    DeviceImage image;
    image.WritePackage("SDMMC/VORIZ.QZP",
                       {{"VORIZ\\big.bin", "first"}, {"voriz\\BIG.BIN", "later"}});
    const fs::path out = image.Scratch() / "out";
    int status = -1;
    Capture((BinDir() / "qzp").string() + " extract " + image.Host("SDMMC/VORIZ.QZP").string() +
                " " + out.string(),
            &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadAll(out / "VORIZ/big.bin"), "later");
    EXPECT_FALSE(fs::exists(out / "voriz"));
}

}  // namespace
}  // namespace apptest
