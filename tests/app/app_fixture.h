// Test support for the installer's tests: a device image in a temporary directory, packages made
// by the tests' package builder, INI files made with the settings library, the packages and
// installed versions the tests share, and runs of the qzpupdate program as a child process.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "signature/minisign_keys.h"
#include "tests/package/package_builder.h"
#include "tests/test_image.h"

namespace apptest {

namespace fs = std::filesystem;

// One entry of a package to make. A name ending in `\` is a directory (content unused).
struct PackFile {
    std::string name;
    std::string content;
};

struct RunResult {
    int status = -1;                     // exit status, or 128 + signal
    std::string out;                     // standard output
    std::vector<nlohmann::json> events;  // the --events record
    std::vector<std::string> Lines() const;
    std::vector<nlohmann::json> Events(const std::string& kind) const;
};

using pkgtest::IniBytes;
using pkgtest::IniValue;
using pkgtest::Manifest;
using testimage::ReadAll;
using testimage::Tree;
using testimage::TreeDifference;

class DeviceImage {
  public:
    DeviceImage();  // ROOT with SDMMC/ and ResidentFlash2/

    const fs::path& Root() const { return root_; }
    const fs::path& Scratch() const { return scratch_.Path(); }
    fs::path Host(const std::string& relative) const { return root_ / relative; }

    void WriteFile(const std::string& relative, const std::string& content) const {
        testimage::WriteAll(root_ / relative, content);
    }
    // A UTF-16 INI file with the given values.
    void WriteIni(const std::string& relative, const std::vector<IniValue>& values) const {
        WriteFile(relative, IniBytes(values));
    }
    // Makes a package at `relative` (under ROOT) holding `files` in the order given, laid out
    // byte by byte by the tests' one package builder, so shapes the writer refuses can be made
    // too: an entry with empty content is a directory entry, whatever its name.
    void WritePackage(const std::string& relative, const std::vector<PackFile>& files) const;
    Tree FlashTree() const { return TreeOf(root_ / "ResidentFlash2"); }
    static Tree TreeOf(const fs::path& directory) { return testimage::TreeOf(directory); }

    // Runs qzpupdate --device ROOT --ui headless --events FILE plus `args`, with the extra
    // environment `env` ("NAME=value"; "RLIMIT_DATA=N" limits its heap to N bytes instead). Time
    // scale 0 unless `args` sets one.
    RunResult Run(const std::vector<std::string>& args = {},
                  const std::vector<std::string>& env = {}) const;
    // Starts the same command and returns its process id; Finish waits for it. `events`: another
    // events file than the image's own, for a second program running at the same time.
    int Start(const std::vector<std::string>& args, const std::vector<std::string>& env,
              int& outputFd, const fs::path& events = {}) const;
    RunResult Finish(int pid, int outputFd, const fs::path& events = {}) const;

  private:
    testimage::Scratch scratch_;  // ROOT, staging area, events file
    fs::path root_;
    fs::path events_;
};

// Two key pairs made in-process, and signatures of the card's package.
struct Keys {
    struct Pair {
        std::string publicText;
        std::string id;
        SecretKey secret;
    };
    Pair release;
    Pair stranger;
    Keys();
    static std::string Comment() { return "timestamp:1796606506\tfile:VORIZ.QZP release 2.0"; }
    // Signs ROOT/SDMMC/VORIZ.QZP with `by` into its .minisig file.
    void Sign(const DeviceImage& image, const Pair& by) const;
};

// The tree `files` produce when extracted into an empty directory (names lower-cased).
Tree TreeOfPackage(const std::vector<PackFile>& files);

// Runs `command` through the shell: its standard output, and its exit status in `status` (-1
// when it did not exit).
std::string Capture(const std::string& command, int* status = nullptr);

// Directory of the built programs (QZP_BIN_DIR).
fs::path BinDir();
// The vendor library stand-in built by the platform layer; empty when it was not built.
fs::path VendorStandIn();

// Deterministic filler: `size` bytes from `seed`; `compressible` picks text over noise.
std::string Filler(std::size_t size, uint32_t seed, bool compressible);

// The installer tests' packages: a full one of version 2.0 (a folder, the program `seed` ends, the
// manifest in the middle of the catalogue, so that moving it last matters, maps and a logo; the big
// entries take several data blocks of 16 KB) and a patch to 2.1 for `required`.
std::vector<PackFile> FullPackage(const std::string& seed = "");
std::vector<PackFile> PatchPackage(const std::u16string& required,
                                   const std::string& manifestName = "VORIZ\\INDEX.INI");
// Installed software of version `version` (no record when empty).
void InstallVersion(const DeviceImage& image, const std::u16string& version = u"1.0");
// `base` with every entry of `over` put over it.
Tree Merge(Tree base, const Tree& over);

}  // namespace apptest
