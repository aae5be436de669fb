// Signed updates, end to end: keys and signatures are made at test time by the real minisign
// program, the device image gets (or lacks) the trusted keys in \Windows\qzpupdate.pub, and
// qzpupdate runs on it. A refusal leaves the flash volume byte for byte as it was and writes
// nothing at all; every signature a run accepts is also accepted by `minisign -V`.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "device_image.h"

namespace apptest {
namespace {

using nlohmann::json;

const std::string kPackage = "SDMMC/VORIZ.QZP";
const std::string kSignature = "SDMMC/VORIZ.QZP.minisig";
const std::string kTrustedKeys = "Windows/qzpupdate.pub";
const std::string kComment = "timestamp:1796606506\tfile:VORIZ.QZP release 2.0";

// "" when `command` succeeds, else what it printed.
std::string Shell(const std::string& command) {
    int status = 0;
    const std::string output = Capture(command + " 2>&1", &status);
    return status == 0 ? std::string() : output + " (status " + std::to_string(status) + ")";
}

// One byte of `relative` changed, at `offset` from the start (negative: from the end).
void Flip(const DeviceImage& image, const std::string& relative, long offset) {
    std::string bytes = ReadAll(image.Host(relative));
    ASSERT_FALSE(bytes.empty());
    bytes.at(offset >= 0 ? offset : bytes.size() + offset) ^= 0x01;
    image.WriteFile(relative, bytes);
}

// Offset of the first byte of line `line` (0-based) of a text file plus `column`.
long LineOffset(const DeviceImage& image, const std::string& relative, int line, int column) {
    const std::string text = ReadAll(image.Host(relative));
    std::size_t at = 0;
    for (int i = 0; i < line; ++i) {
        at = text.find('\n', at) + 1;
    }
    return static_cast<long>(at) + column;
}

// Key pairs made by `minisign -G -W` in the image's scratch directory.
struct Signer {
    const DeviceImage& image;

    fs::path Pub(const std::string& key) const { return image.Scratch() / (key + ".pub"); }
    fs::path Sec(const std::string& key) const { return image.Scratch() / (key + ".sec"); }
    // The key id minisign wrote into the public key file's comment line.
    std::string Id(const std::string& key) const {
        const std::string text = ReadAll(Pub(key));
        const std::string prefix = "untrusted comment: minisign public key ";
        return text.substr(prefix.size(), text.find('\n') - prefix.size());
    }
    void Make(const std::string& key) const {
        ASSERT_EQ(Shell("minisign -G -W -f -p " + Pub(key).string() + " -s " + Sec(key).string()),
                  "");
    }
    // Signs the card's package; `legacy` makes the old "Ed" form.
    void Sign(const std::string& key, bool legacy = false) const {
        ASSERT_EQ(
            Shell("minisign -S " + std::string(legacy ? "-l " : "") + "-s " + Sec(key).string() +
                  " -m " + image.Host(kPackage).string() + " -t '" + kComment + "'"),
            "");
    }
    // The device trusts these keys, in this order.
    void Trust(const std::vector<std::string>& keys) const {
        std::string text;
        for (const std::string& key : keys) {
            text += ReadAll(Pub(key));
        }
        image.WriteFile(kTrustedKeys, text);
    }
    std::string Verified(const std::string& key) const {
        return Shell("minisign -V -q -p " + Pub(key).string() + " -m " +
                     image.Host(kPackage).string());
    }
};

std::vector<PackFile> Package(const DeviceImage& image, const std::string& seedText = "2.0") {
    return {{"VORIZ\\", ""},
            {"VORIZ\\VORIZ.exe", Filler(40000, 7, false) + seedText},
            {"VORIZ\\INDEX.INI", image.IniBytes(Manifest(u"2.0"))}};
}

struct SignedCase {
    const char* name;
    std::function<void(const DeviceImage&, const Signer&)> setUp;
    bool installs;
    bool checked;                    // a signature event is expected
    std::string signer;              // the key minisign -V must accept the package with, if any
    std::string reason;              // of a refusal
    std::string step = "signature";  // the step that refuses
};

void PrintTo(const SignedCase& c, std::ostream* os) {
    *os << c.name;
}

// A device that trusts "release" and a package signed with it, then `damage` done to the files.
std::function<void(const DeviceImage&, const Signer&)> SignedByRelease(
    std::function<void(const DeviceImage&)> damage = {}) {
    return [damage](const DeviceImage& i, const Signer& s) {
        s.Trust({"release"});
        s.Sign("release");
        if (damage) {
            damage(i);
        }
    };
}

class SignedUpdate : public testing::TestWithParam<SignedCase> {};

TEST_P(SignedUpdate, InstallsOnlyWhatTheDeviceTrusts) {
    const SignedCase& c = GetParam();
    DeviceImage image;
    const Signer signer{image};
    signer.Make("release");
    signer.Make("stranger");
    image.WriteFile("ResidentFlash2/VORIZ/VORIZ.exe", "installed exe");
    image.WritePackage(kPackage, Package(image));
    c.setUp(image, signer);
    // The lock files of the loader's mutex and the installer's own, made by every run.
    image.WriteFile(".named/RURodera", "");
    image.WriteFile(".named/qzpupdateinstaller", "");
    const Tree before = DeviceImage::TreeOf(image.Root());

    const RunResult run = image.Run();

    EXPECT_EQ(run.status, 0) << run.out;
    const auto events = run.Events("signature");
    ASSERT_EQ(events.size(), c.checked ? 1u : 0u) << run.out;
    const bool signatureGood = c.installs || c.step != "signature";
    if (c.checked) {
        EXPECT_EQ(events[0].value("result", -1), signatureGood ? 1 : 0);
        EXPECT_EQ(events[0].value("reason", "?"), signatureGood ? "" : c.reason);
    }
    if (c.installs) {
        ASSERT_EQ(run.Events("decode_done").size(), 1u) << run.out;
        EXPECT_EQ(run.Events("decode_done")[0].value("result", 0), 1);
        EXPECT_EQ(TreeDifference(TreeOfPackage(Package(image)), image.FlashTree()), "");
        // The signature and the check share one pass over the whole card; the extraction reads
        // at most once more what the read-ahead does not still hold.
        EXPECT_GE(image.CardReads(), 1.0);
        EXPECT_LE(image.CardReads(), 2.0);
        if (c.checked) {
            EXPECT_EQ(events[0].value("trustedComment", ""), kComment);
            EXPECT_EQ(events[0].value("keyId", ""), signer.Id(c.signer));
        }
    } else {
        EXPECT_EQ(run.Lines(), std::vector<std::string>{"[Error] Invalid update File"});
        ASSERT_EQ(run.Events("messagebox").size(), 1u);
        EXPECT_EQ(run.Events("messagebox")[0].value("icon", ""), "stop");
        EXPECT_TRUE(run.Events("decode_done").empty());
        // Not even the manifest's copy was written: the whole image is as it was, but for the
        // card's log, which says why.
        Tree after = DeviceImage::TreeOf(image.Root());
        const std::string log = after["sdmmc/qzpupdate.log"];
        after.erase("sdmmc/qzpupdate.log");
        if (c.step != "signature") {  // read after the manifest, whose copy stays in the root
            after.erase("voriz/");
            after.erase("voriz/index.ini");
        }
        EXPECT_EQ(TreeDifference(before, after), "");
        EXPECT_NE(log.find(" " + c.step + ": " + c.reason + "; shows \"Invalid update File\""),
                  std::string::npos)
            << log;
    }
    if (!c.signer.empty()) {
        EXPECT_EQ(signer.Verified(c.signer), "");
    }
}

const std::string kNoSignature = "no signature file, or it cannot be read";
const std::string kUntrusted = "signed by a key that is not trusted";
const std::string kWrongFile = "the signature does not match the file";
const std::string kForged = "the trusted comment does not match its signature";

INSTANTIATE_TEST_SUITE_P(
    Signatures, SignedUpdate,
    testing::Values(
        SignedCase{"NoKeysUnsigned", [](const DeviceImage&, const Signer&) {}, true, false, "", ""},
        SignedCase{"Signed", SignedByRelease(), true, true, "release", ""},
        SignedCase{"SignedInTheLegacyForm",
                   [](const DeviceImage&, const Signer& s) {
                       s.Trust({"release"});
                       s.Sign("release", true);
                   },
                   true, true, "release", ""},
        SignedCase{"SecondOfTwoTrustedKeys",
                   [](const DeviceImage&, const Signer& s) {
                       s.Trust({"stranger", "release"});
                       s.Sign("release");
                   },
                   true, true, "release", ""},
        SignedCase{"NoSignature", [](const DeviceImage&, const Signer& s) { s.Trust({"release"}); },
                   false, true, "", kNoSignature},
        // The catalogue still opens.
        SignedCase{"PackageChangedByOneByte",
                   SignedByRelease([](const DeviceImage& i) { Flip(i, kPackage, -3); }), false,
                   true, "", kWrongFile},
        // Every forgery (comment, file signature, a trusted key claiming the signer's id) ends in
        // the same refusal; minisign_test's round trip tells each of them apart.
        SignedCase{"TrustedCommentChangedByOneByte", SignedByRelease([](const DeviceImage& i) {
                       Flip(i, kSignature, LineOffset(i, kSignature, 2, 20));
                   }),
                   false, true, "", kForged},
        SignedCase{"KeyFileUnreadable",
                   [](const DeviceImage& i, const Signer& s) {
                       s.Sign("release");
                       fs::create_directories(i.Host(kTrustedKeys));
                   },
                   false, true, "", "the key file cannot be read"},
        SignedCase{"KeyFileMalformed",
                   [](const DeviceImage& i, const Signer& s) {
                       s.Sign("release");
                       i.WriteFile(kTrustedKeys, "untrusted comment: nothing follows\n");
                   },
                   false, true, "", "the key file is not a minisign public key file"},
        // A record the device cannot read is no missing one: versions stay ordered.
        SignedCase{"InstalledRecordUnreadable", SignedByRelease([](const DeviceImage& i) {
                       i.WriteFile("ResidentFlash2/VORIZ/index.ini",
                                   "[Config]\nSoftwareVersion=3\n");
                   }),
                   false, true, "release",
                   "the installed version record is no UTF-16 settings file, or cannot be read",
                   "decision"}),
    [](const testing::TestParamInfo<SignedCase>& info) { return info.param.name; });

// The package on the card is replaced by another one after the signature was checked, while the
// confirmation waits: the installer extracts through the file it checked, so the signed package
// is what ends up on the flash volume.
TEST(SignedUpdate, APackageSwappedAfterTheCheckIsNotInstalled) {
    DeviceImage image;
    const Signer signer{image};
    signer.Make("release");
    image.WriteIni("ResidentFlash2/VORIZ/index.ini", {{u"Config", u"SoftwareVersion", u"1.0"}});
    image.WritePackage(kPackage, Package(image));
    signer.Trust({"release"});
    signer.Sign("release");
    image.WritePackage("swapped.qzp", Package(image, "a package nobody signed"));
    // The manifest's copy is written after the signature check and before the confirmation.
    fs::create_directories(image.Host("VORIZ"));
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, image.Host("VORIZ").c_str(), IN_CLOSE_WRITE), 0);

    int out = -1;
    const int pid = image.Start({"--answer", "timeout", "--time-scale", "0.2"}, {}, out);
    pollfd p{watch, POLLIN, 0};
    const bool written = poll(&p, 1, 20000) == 1;
    fs::rename(image.Host("swapped.qzp"), image.Host(kPackage));
    const RunResult run = image.Finish(pid, out);
    close(watch);

    ASSERT_TRUE(written);
    ASSERT_EQ(run.Events("confirm").size(), 1u) << run.out;
    ASSERT_EQ(run.Events("signature").size(), 1u);
    EXPECT_EQ(run.Events("signature")[0].value("result", 0), 1);
    ASSERT_EQ(run.Events("decode_done").size(), 1u) << run.out;
    EXPECT_EQ(TreeDifference(TreeOfPackage(Package(image)), image.FlashTree()), "");
}

}  // namespace
}  // namespace apptest
