// qzp manifest: writes the manifest VORIZ/INDEX.INI of a tree about to be packed.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "ini/ini_table.h"
#include "platform/text.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/ini_file.h"
#include "tools/qzp/output.h"

namespace {

struct ManifestArguments {
    std::string directory;
    std::string version;
    std::string patchFor;
    bool patch = false;  // --patch-for was given, even as an empty word
    bool allowDowngrade = false;
};

struct TableFree {
    void operator()(IniTable* table) const { IniTableFree(table); }
};

// Why a version could not be stored as a manifest value that reads back unchanged, or nothing.
// An empty one is refused before the INI rules: an empty --patch-for (an unset shell variable)
// would otherwise make a full update, which purges the devices it was meant to patch.
std::optional<std::string> VersionProblem(const std::string& version) {
    if (version.empty()) {
        return "is empty";
    }
    if (!platform::IsUtf8(version)) {
        return "is not valid UTF-8 text";
    }
    if (platform::HasControlCharacter(version)) {
        return "holds a control character";
    }
    const std::u16string text = platform::Utf8ToUtf16(version);
    if (text.size() > static_cast<std::size_t>(kIniMaxUnits)) {
        return "is longer than 255 UTF-16 units";
    }
    if (auto problem = IniEntryProblem(u"Config", u"SoftwareVersion", text)) {
        return "cannot be stored: the " + *problem;
    }
    return std::nullopt;
}

int RunManifest(const CLI::App& command, const ManifestArguments& args) {
    if (auto problem = VersionProblem(args.version)) {
        return ReportUsage(command, args.directory + ": --version " + *problem);
    }
    const bool patch = args.patch;
    if (patch) {
        if (auto problem = VersionProblem(args.patchFor)) {
            return ReportUsage(command, args.directory + ": --patch-for " + *problem);
        }
    }
    const std::string folder = args.directory +
                               (args.directory.empty() || args.directory.back() == '/' ? "" : "/") +
                               "VORIZ";
    const std::string file = folder + "/INDEX.INI";
    std::u16string path;
    std::string error;
    if (!ToDevicePath(file, path, error)) {
        return ReportFailure(file, error);
    }
    if (const std::string reason = CreateFolders(folder); !reason.empty()) {
        return ReportFailure(folder, "cannot create the folder: " + reason);
    }
    std::unique_ptr<IniTable, TableFree> table(IniTableCreate(0));
    if (table == nullptr) {
        return ReportFailure(file, "out of memory");
    }
    IniTableSetString(table.get(), kIniDefaultSection, nullptr, u"");
    IniTableSetString(table.get(), u"Config", u"SoftwareVersion",
                      platform::Utf8ToUtf16(args.version).c_str());
    IniTableSetString(table.get(), u"UpdateInfo", u"IsPatch", patch ? u"1" : u"0");
    if (patch) {
        IniTableSetString(table.get(), u"UpdateInfo", u"oldVersion",
                          platform::Utf8ToUtf16(args.patchFor).c_str());
    }
    if (args.allowDowngrade) {
        IniTableSetString(table.get(), u"UpdateInfo", u"AllowDowngrade", u"1");
    }
    if (!SaveIniFile(file, path, table.get(), error)) {
        return ReportFailure(file, error);
    }
    const char* back = args.allowDowngrade ? ", may replace a newer version" : "";
    if (patch) {
        std::printf("%s: version %s, a patch for %s%s\n", Printable(file).c_str(),
                    Printable(args.version).c_str(), Printable(args.patchFor).c_str(), back);
    } else {
        std::printf("%s: version %s, a full update%s\n", Printable(file).c_str(),
                    Printable(args.version).c_str(), back);
    }
    return 0;
}

}  // namespace

void AddManifestCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<ManifestArguments>();
    CLI::App* manifest = app.add_subcommand(
        "manifest",
        "Write the manifest DIR/VORIZ/INDEX.INI (creating the folders, replacing an earlier "
        "one): Config/SoftwareVersion, UpdateInfo/IsPatch (0, or 1 with --patch-for), "
        "UpdateInfo/oldVersion and, with --allow-downgrade, UpdateInfo/AllowDowngrade. The same "
        "arguments give the same bytes in any folder.");
    manifest->add_option("DIR", args->directory, "The tree that will be packed")
        ->check(HostPathCheck())
        ->required();
    manifest->add_option("--version", args->version, "The version the package installs")
        ->required();
    CLI::Option* patchFor =
        manifest->add_option("--patch-for", args->patchFor,
                             "Make a patch for devices with this version installed (`undetected` "
                             "for devices without a version record)");
    manifest->add_flag("--allow-downgrade", args->allowDowngrade,
                       "Let the package replace a newer installed version on a device that "
                       "holds trusted keys (UpdateInfo/AllowDowngrade = 1); such devices "
                       "otherwise refuse a signed package older than what they have");
    manifest->callback([manifest, patchFor, args, &status] {
        args->patch = patchFor->count() != 0;
        status = RunManifest(*manifest, *args);
    });
}
