// qzp patch: a patch package that turns a device with OLD installed into one with NEW: NEW's
// entries that are new or changed against OLD, and a manifest that marks the package as a patch
// for OLD's version.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/device_paths.h"
#include "ini/ini_document.h"
#include "package/pack_tree.h"
#include "package/writer.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tools/qzp/code_page_option.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/ini_file.h"
#include "tools/qzp/output.h"
#include "tools/qzp/tree_listing.h"

namespace {

struct PatchArguments {
    uint32_t codePage = platform::kDefaultCodePage;
    std::string oldTree;
    std::string newTree;
    std::string output;
    std::string comment = "\\SDMMC\\";
    int level = 6;
};

struct DocumentCloser {
    void operator()(IniDocument* document) const { IniClose(document); }
};

// NEW's manifest with UpdateInfo/IsPatch = 1 and UpdateInfo/oldVersion = `oldVersion`, saved
// as `file` (host path).
bool WritePatchManifest(const std::u16string& newManifest, const std::string& oldVersion,
                        const std::string& file, std::string& error) {
    std::unique_ptr<IniDocument, DocumentCloser> document(IniOpen(newManifest.c_str()));
    if (document == nullptr) {
        error = "cannot read NEW's manifest";
        return false;
    }
    IniSetString(document.get(), u"UpdateInfo", u"IsPatch", u"1");
    IniSetString(document.get(), u"UpdateInfo", u"oldVersion",
                 platform::Utf8ToUtf16(oldVersion).c_str());
    std::u16string path;
    if (!ToDevicePath(file, path, error)) {
        return false;
    }
    return SaveIniFile(file, path, document->table, error);
}

int RunPatch(const PatchArguments& args) {
    const CodePageFiles names(args.codePage);
    TreeListing old;
    if (LoadTree(args.oldTree, old) != 0) {
        return 1;
    }
    if (!old.manifest || old.manifest->version.empty()) {
        return ReportFailure(args.oldTree,
                             "no version in its manifest VORIZ/INDEX.INI: a patch must name the "
                             "version it applies to");
    }
    // NEW as a directory: the tree itself, or the package unpacked into a scratch folder.
    ScratchDirectory scratch;
    if (!scratch.ok()) {
        return ReportFailure(args.output, "cannot make a scratch directory: " + OsReason());
    }
    std::error_code code;
    std::string newDirectory = args.newTree;
    if (!std::filesystem::is_directory(FsPath(args.newTree), code)) {
        newDirectory = scratch.path() + "/new";
        if (ExtractAll(args.newTree, newDirectory) != 0) {
            return 1;
        }
    }
    TreeListing fresh;
    if (LoadTree(newDirectory, fresh) != 0) {
        return 1;
    }
    if (!fresh.manifest || fresh.manifest->version.empty()) {
        return ReportFailure(args.newTree,
                             "no version in its manifest VORIZ/INDEX.INI: the patch installs "
                             "that version");
    }
    if (fresh.manifest->isPatch != 0) {
        return ReportFailure(args.newTree, "is itself a patch; give the full tree or package");
    }
    // The device applies a patch wherever the installed version is its old one: installing the
    // same version would leave it applicable at every start.
    if (platform::EqualsIgnoringAsciiCase(fresh.manifest->version, old.manifest->version)) {
        return ReportFailure(args.newTree, "has the version of OLD (" + old.manifest->version +
                                               "): a patch must change the version");
    }
    if (const int checked = CheckOutput(args.output, {args.oldTree, args.newTree}); checked != 0) {
        return checked;
    }

    std::map<std::string, const TreeEntry*> before;
    for (const TreeEntry& entry : old.entries) {
        before.emplace(NameKey(entry.name), &entry);
    }
    std::vector<PackItem> items;
    for (const TreeEntry& entry : fresh.entries) {
        const auto found = before.find(NameKey(entry.name));
        const bool manifest = !entry.directory && IsManifestEntry(entry.name);
        if (found != before.end()) {
            const TreeEntry& was = *found->second;
            before.erase(found);
            if (!manifest && was.directory == entry.directory && was.size == entry.size &&
                was.crc == entry.crc) {
                continue;  // the device has it already
            }
        }
        PackItem item{entry.name, entry.source};
        if (manifest) {
            const std::string file = scratch.path() + "/manifest/VORIZ/INDEX.INI";
            std::filesystem::create_directories(FsPath(scratch.path() + "/manifest/VORIZ"), code);
            std::string error;
            if (!WritePatchManifest(entry.source, old.manifest->version, file, error)) {
                return ReportFailure(file, error);
            }
            ToDevicePath(file, item.source, error);
        }
        items.push_back(std::move(item));
    }
    for (const TreeEntry& entry : old.entries) {
        if (before.count(NameKey(entry.name)) != 0 && !entry.directory) {
            std::fprintf(stderr,
                         "qzp: warning: %s: in OLD but not in NEW; a patch cannot delete it, so "
                         "it stays on the device\n",
                         Printable(ShownName(entry.name)).c_str());
        }
    }

    std::u16string outputDevice;
    std::string error;
    if (!ToDevicePath(args.output, outputDevice, error)) {
        return ReportFailure(args.output, error);
    }
    PackOptions options;
    options.comment = args.comment;
    options.limitFolder = app::kFlashVolume;  // a package the device would refuse is not written
    options.level = args.level;
    PackageWriter writer(options);
    if (writer.Write(items, outputDevice.c_str()) != 0) {
        const std::string subject =
            writer.ErrorItem() == PackageWriter::kNoItem
                ? args.output
                : ShownName(items[static_cast<std::size_t>(writer.ErrorItem())].name);
        return ReportFailure(subject, writer.Error());
    }
    std::printf("%s: patch from %s to %s: %zu of %zu entries, %llu bytes packed into %llu\n",
                Printable(args.output).c_str(), Printable(old.manifest->version).c_str(),
                Printable(fresh.manifest->version).c_str(), items.size(), fresh.entries.size(),
                static_cast<unsigned long long>(writer.SourceBytes()),
                static_cast<unsigned long long>(writer.PackageBytes()));
    return 0;
}

}  // namespace

void AddPatchCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<PatchArguments>();
    CLI::App* patch = app.add_subcommand(
        "patch",
        "Make a patch package OUT that turns a device with OLD installed into one with NEW (each "
        "a package or a directory): NEW's entries that are new or changed against OLD, and NEW's "
        "manifest with UpdateInfo/IsPatch = 1 and UpdateInfo/oldVersion = OLD's version. Files "
        "of OLD that NEW lacks are named as warnings: a patch cannot delete them.");
    patch->add_option("--comment", args->comment, "The package comment")->default_str("\\SDMMC\\");
    patch->add_option("--level", args->level, "zlib compression level, 0 (store) to 9 (best)")
        ->check(CLI::Range(0, 9))
        ->default_str("6");
    patch->add_option("OLD", args->oldTree, "The installed package or tree")
        ->check(HostPathCheck())
        ->required();
    patch->add_option("NEW", args->newTree, "The package or tree to install")
        ->check(HostPathCheck())
        ->required();
    patch->add_option("OUT", args->output, "The patch package to write")
        ->check(HostPathCheck())
        ->required();
    AddCodePageOption(patch, args->codePage);
    patch->callback([args, &status] { status = RunPatch(*args); });
}
