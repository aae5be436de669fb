// qzp pack: a package of everything under a directory.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/device_paths.h"
#include "package/pack_tree.h"
#include "package/writer.h"
#include "platform/file.h"
#include "platform/system.h"
#include "tools/qzp/code_page_option.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/manifest.h"
#include "tools/qzp/opened_package.h"
#include "tools/qzp/output.h"
#include "tools/qzp/sign_command.h"

namespace {

struct PackArguments {
    uint32_t codePage = platform::kDefaultCodePage;
    std::string comment = "\\SDMMC\\";
    int level = 6;
    unsigned jobs = 0;
    std::string source;
    std::string output;
    bool noManifest = false;
    bool force = false;
    SigningKey signing;  // keyFile empty: not signed
};

int RunPack(const PackArguments& args) {
    const CodePageFiles names(args.codePage);
    std::u16string sourceDevice;
    std::u16string outputDevice;
    std::string error;
    if (!ToDevicePath(args.source, sourceDevice, error)) {
        return ReportFailure(args.source, error);
    }
    if (!ToDevicePath(args.output, outputDevice, error)) {
        return ReportFailure(args.output, error);
    }
    if (const std::string problem = ReadProblem(args.source, true); !problem.empty()) {
        // A file first is the order of archivers that name the archive first.
        return ReportFailure(args.source, problem == "not a directory"
                                              ? problem + "; the order is 'qzp pack SRC_DIR OUT'"
                                              : problem);
    }
    PackTreeResult tree;
    if (CollectPackTree(sourceDevice, tree) != 0) {
        return ReportFailure(tree.errorPath, tree.error);
    }
    // What a device would misread is refused, unless --no-manifest (or, for a spelling, --force)
    // says it is meant: it is then a warning.
    std::string subject;
    const std::optional<std::string> problem = TreeManifestProblem(args.source, tree, subject);
    const auto warn = [](const std::string& about, const std::string& text) {
        std::fprintf(stderr, "qzp: warning: %s: %s\n", Printable(about).c_str(),
                     Printable(text).c_str());
    };
    const auto manifest =
        std::find_if(tree.items.begin(), tree.items.end(),
                     [](const PackItem& item) { return IsManifestEntry(item.name); });
    std::vector<ManifestSpelling> spellings;
    if (manifest != tree.items.end() && !manifest->source.empty()) {
        spellings = ManifestSpellings(manifest->source);
    }
    for (const ManifestSpelling& spelling : spellings) {
        if (spelling.changesKind && !args.force && !args.noManifest) {
            return ReportFailure(subject, spelling.text +
                                              " (a device would take the package for another "
                                              "kind of update); correct it, or pass --force");
        }
    }
    for (const ManifestSpelling& spelling : spellings) {
        warn(subject, spelling.text);
    }
    if (problem && !args.noManifest) {
        return ReportFailure(subject, *problem);
    }
    if (const int checked = CheckOutput(args.output, {args.source}); checked != 0) {
        return checked;
    }
    // A key that cannot sign (unreadable, wrong password) is refused before anything is written.
    SecretKey secret;
    if (SecretKeyFile key;
        !args.signing.keyFile.empty() && (ReadSecretKeyFile(args.signing.keyFile, key) != 0 ||
                                          UnlockSecretKey(args.signing, key, secret) != 0)) {
        return 1;
    }

    PackOptions options;
    options.comment = args.comment;
    options.limitFolder = app::kFlashVolume;  // a package the device would refuse is not written
    options.level = args.level;
    options.jobs = args.jobs;
    ProgressBar bar("packing", ProgressWanted(tree.fileBytes));
    const uint64_t total = tree.fileBytes;
    options.progress = [&bar, total](uint64_t done) { bar.Show(done, total); };
    // A package no device installs is written only on purpose (--no-manifest), and then said so.
    // Its signature is hashed in the same pass that checks it.
    std::optional<PackageSigning> signing;
    if (!args.signing.keyFile.empty()) {
        signing.emplace(args.signing, &secret);
    }
    std::string refusal;
    int begun = -1;  // the signature's Begin: 0, or 1 after its line
    options.accept = [&](const char16_t* written) {
        bar.Finish();
        OpenedPackage package;
        package.OpenQuietly(written);
        if (signing && package.archive != nullptr) {
            begun = signing->Begin(package, args.output);
        }
        PackageSigning* tap = begun == 0 ? &*signing : nullptr;
        refusal = DeviceRefusal(package, tap != nullptr ? &PackageSigning::Feed : nullptr, tap);
        return args.noManifest ? std::string() : refusal;
    };
    PackageWriter writer(options);
    const int32_t result = writer.Write(tree.items, outputDevice.c_str());
    bar.Finish();
    if (result != 0) {
        if (writer.ErrorItem() == PackageWriter::kNoItem) {
            return ReportFailure(args.output, writer.Error());
        }
        std::string name = ShownName(tree.items[static_cast<std::size_t>(writer.ErrorItem())].name);
        std::replace(name.begin(), name.end(), '\\', '/');
        std::string where = args.source;
        if (where.empty() || where.back() != '/') {
            where += '/';
        }
        return ReportFailure(where + name, writer.Error());
    }
    if (problem) {  // only with --no-manifest
        warn(subject, problem->substr(0, problem->find("; ")));
    }
    if (!refusal.empty()) {
        warn(args.output, refusal);
    }
    std::printf("%s: %zu entries, %llu bytes packed into %llu\n", Printable(args.output).c_str(),
                tree.items.size(), static_cast<unsigned long long>(writer.SourceBytes()),
                static_cast<unsigned long long>(writer.PackageBytes()));
    // A signature beside OUT signed what OUT held before: left there, it would pass for this
    // package's until a key check failed on the device.
    const std::string oldSignature = args.output + ".minisig";
    if (std::u16string path;
        ToDevicePath(oldSignature, path, error) &&
        platform::GetAttributes(path.c_str()) != platform::kInvalidFileAttributes) {
        if (!platform::RemoveFile(path.c_str())) {
            return ReportFailure(
                oldSignature, "cannot remove the signature of the package replaced: " + OsReason());
        }
        if (args.signing.keyFile.empty()) {
            std::fflush(stdout);
            std::fprintf(stderr,
                         "qzp: warning: %s: removed, it signed the package replaced; sign this "
                         "one with 'qzp sign'\n",
                         Printable(oldSignature).c_str());
        }
    }
    if (!signing || begun == 1) {
        return begun == 1 ? 1 : 0;
    }
    if (!refusal.empty()) {
        return ReportFailure(args.output, refusal);  // what verify refuses is not signed
    }
    return signing->Finish(args.output);
}

}  // namespace

void AddPackCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<PackArguments>();
    CLI::App* pack = app.add_subcommand(
        "pack",
        "Make a package of everything under SRC_DIR. Entries are stored in pre-order (a "
        "directory before its contents, siblings sorted by the bytes of their names) with "
        "names relative to SRC_DIR and `\\` between levels. Empty files cannot be stored and "
        "are refused, and so is a tree without a sound manifest VORIZ/INDEX.INI, or a package no "
        "device would install, unless --no-manifest is given (a warning then says why). OUT, "
        "outside SRC_DIR, is written through a temporary file and "
        "only replaced on success.");
    pack->add_option("--comment", args->comment,
                     "The package comment: the directory an extraction defaults to, 1 to 259 "
                     "bytes")
        ->default_str("\\SDMMC\\");
    pack->add_option("--level", args->level, "zlib compression level, 0 (store) to 9 (best)")
        ->check(CLI::Range(0, 9))
        ->default_str("6");
    pack->add_option("--jobs", args->jobs,
                     "Blocks compressed at the same time (the package is the same for any "
                     "value), 1 to 64; default: one per processor")
        ->check(CLI::Range(1u, 64u))
        ->default_str(std::to_string(platform::ProcessorCount()));
    pack->add_flag("--no-manifest", args->noManifest,
                   "Pack a tree without a manifest, or with one a device would misread (a "
                   "device then shows no version and purges its flash volume)");
    pack->add_flag("--force", args->force,
                   "Pack a manifest whose IsPatch or oldVersion is misspelt (a warning names the "
                   "spelling a device reads); other unknown sections and keys are warned about "
                   "only");
    CLI::Option* sign =
        pack->add_option("--sign", args->signing.keyFile,
                         "Sign the package with this minisign secret key once it is written, as "
                         "qzp sign does (OUT.minisig)")
            ->check(HostPathCheck());
    AddPasswordOptions(*pack, args->signing.password, "needs --sign");
    pack->get_option("--password-fd")->needs(sign);
    pack->get_option("--password-env")->needs(sign);
    pack->add_option("SRC_DIR", args->source, "The directory to pack")
        ->check(HostPathCheck())
        ->required();
    pack->add_option("OUT", args->output, "The package file to write")
        ->check(HostPathCheck())
        ->required();
    AddCodePageOption(pack, args->codePage);
    AddQuietOption(pack);
    pack->callback([args, &status] { status = RunPack(*args); });
}
