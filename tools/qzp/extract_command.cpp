// qzp extract: unpacks a package, or some of its entries, through PackageExtract: the code path
// the installer itself uses.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "app/device_paths.h"
#include "package/install_plan.h"
#include "package/package.h"
#include "package/verify.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tools/qzp/code_page_option.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/opened_package.h"
#include "tools/qzp/output.h"
#include "tools/qzp/tree_listing.h"

namespace {

struct ExtractArguments {
    uint32_t codePage = platform::kDefaultCodePage;
    std::string file;
    std::string directory;
    std::vector<std::string> names;
    unsigned jobs = 0;
};

void ShowProgress(void* bar, uint64_t totalBytes, uint64_t doneBytes, const char16_t*, uint64_t,
                  uint64_t, bool) {
    static_cast<ProgressBar*>(bar)->Show(doneBytes, totalBytes);
}

// The name extraction writes an entry under, as text: the stored name up to its first NUL, read
// in the device's code page.
std::string WrittenName(const PackageEntryRecord& record) {
    return ShownName(record.storedName.c_str());
}

// The entries a NAME given on the command line stands for: the entry stored under that name, in
// any letter case as the device matches names (`/` may stand for `\`, a directory may lack its
// final `\`), and for a directory everything below it, as catalogue indices. Empty when nothing
// matches.
std::vector<uint32_t> FindByName(const OpenedPackage& package, const std::string& name) {
    std::string wanted = name;
    std::replace(wanted.begin(), wanted.end(), '/', '\\');
    while (wanted.size() > 1 && wanted.back() == '\\') {
        wanted.pop_back();
    }
    const std::string key = platform::FoldedAscii(wanted);
    const std::string below = key + "\\";
    std::vector<uint32_t> found;
    for (uint32_t k = 0; k < package.count; ++k) {
        const std::string stored = NameKey(package.Record(k).storedName);
        if (stored == key || stored == below || stored.starts_with(below)) {
            found.push_back(k);
        }
    }
    return found;
}

// The host path an entry is written to under `directory`.
std::string HostTarget(const std::string& directory, const PackageEntryRecord& entry) {
    std::string name = WrittenName(entry);
    std::replace(name.begin(), name.end(), '\\', '/');
    return directory + (directory.empty() || directory.back() == '/' ? "" : "/") + name;
}

// What stands in DIR before the extraction, read one directory at a time: each directory an entry
// lies in is listed once, so looking at tens of thousands of entries costs a few system calls per
// directory instead of several per entry. Names are the host's, exactly; links are not followed.
class TreeBefore {
  public:
    // What stands at `name` in `directory`, a host path reached from DIR through directories.
    std::filesystem::file_type At(const std::string& directory, const std::string& name) {
        auto listing = listings_.find(directory);
        if (listing == listings_.end()) {
            listing = listings_.emplace(directory, List(directory)).first;
        }
        const auto found = listing->second.find(name);
        return found == listing->second.end() ? std::filesystem::file_type::not_found
                                              : found->second;
    }

  private:
    using Listing = std::unordered_map<std::string, std::filesystem::file_type>;

    static Listing List(const std::string& directory) {
        namespace fs = std::filesystem;
        Listing names;
        std::error_code code;
        std::error_code ignored;  // a name that vanished meanwhile reads as missing
        for (fs::directory_iterator it(FsPath(directory), code), end; !code && it != end;
             it.increment(code)) {
            names.emplace(FsText(it->path().filename()), it->symlink_status(ignored).type());
        }
        return names;  // a missing directory, or a file: nothing below it
    }

    std::unordered_map<std::string, Listing> listings_;
};

// Where writing `entry` under `directory` leads before anything is written: whether something
// stands at its path already, and the first symbolic link the writing would pass through (a level
// of its path, the file itself, or the scratch file that replaces an existing file).
struct EntryBefore {
    bool exists = false;
    std::string link;  // empty when none
};

EntryBefore LookBefore(TreeBefore& tree, const std::string& directory,
                       const PackageEntryRecord& entry, const OpenedPackage& package,
                       const std::u16string& target,
                       const std::function<std::u16string_view()>& scratchBase) {
    namespace fs = std::filesystem;
    const std::string name = WrittenName(entry);
    std::string parent;
    std::string host = directory;
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t end = name.find_first_of("\\/", start);
        if (end == std::string::npos) {
            end = name.size();
        }
        if (end > start) {
            parent = host;
            const std::string level = name.substr(start, end - start);
            host += (host.empty() || host.back() == '/' ? "" : "/") + level;
            const fs::file_type type = tree.At(parent, level);
            if (type == fs::file_type::symlink) {
                return {true, host};
            }
            if (type == fs::file_type::not_found) {
                return {};
            }
        }
        start = end + 1;
    }
    if (!entry.directory) {
        std::u16string scratch;
        const std::u16string path = target + platform::Utf8ToUtf16(name);
        if (PackageScratchPath(package.archive, target.c_str(), scratchBase(), path.c_str(),
                               &scratch) == 1) {
            // Beside the file, under the scratch file's own name.
            const std::u16string_view scratchPath(scratch);
            const std::string leaf =
                platform::Utf16ToUtf8(scratchPath.substr(scratchPath.find_last_of(u"\\/") + 1));
            if (tree.At(parent, leaf) == fs::file_type::symlink) {
                return {true, host.substr(0, host.find_last_of('/') + 1) + leaf};
            }
        }
    }
    return {true, {}};
}

int RunExtract(const ExtractArguments& args) {
    const CodePageFiles names(args.codePage);
    std::u16string target;
    std::string error;
    if (!ToDevicePath(args.directory, target, error)) {
        return ReportFailure(args.directory, error);
    }
    // `qzp extract DIR FILE`, the other tools' order: say which comes first.
    if (const std::string problem = ReadProblem(args.file);
        !problem.empty() && ReadProblem(args.directory).empty()) {
        return ReportFailure(args.file, problem + "; the order is 'qzp extract FILE DIR'");
    }
    OpenedPackage package;
    if (const int opened = package.Open(args.file); opened != 0) {
        return opened;
    }
    std::vector<uint32_t> chosen;  // catalogue indices
    if (args.names.empty()) {
        for (uint32_t k = 0; k < package.count; ++k) {
            chosen.push_back(k);
        }
    } else {
        for (const std::string& name : args.names) {
            const std::vector<uint32_t> found = FindByName(package, name);
            if (found.empty()) {
                return ReportFailure(args.file, name + ": not in the package");
            }
            for (const uint32_t k : found) {
                if (std::find(chosen.begin(), chosen.end(), k) == chosen.end()) {
                    chosen.push_back(k);
                }
            }
        }
        // Catalogue order, as a full extraction writes them: a directory before its contents.
        std::sort(chosen.begin(), chosen.end());
    }
    if (target.back() != u'\\') {
        target += u'\\';  // extraction joins the target and the stored name without a separator
    }
    // The package itself is never a target: replacing it would destroy what is being read. Only
    // a path that exists can be it, and only where a link leads or inside DIR (or as a second
    // hard link): the file's identity is compared there alone.
    namespace fs = std::filesystem;
    std::error_code code;
    const fs::path packagePath = fs::weakly_canonical(FsPath(args.file), code);
    std::string inside = FsText(fs::weakly_canonical(FsPath(args.directory), code));
    if (inside.empty() || inside.back() != '/') {
        inside += '/';
    }
    const bool packageMayBeTarget = fs::hard_link_count(FsPath(args.file), code) != 1 ||
                                    FsText(packagePath).starts_with(inside);
    std::vector<PackageEntry*> entries;
    for (const uint32_t k : chosen) {
        entries.push_back(package.entries[k]);
    }
    // The names alone choose the scratch base the extraction will use; the device's path limit
    // counts as for the flash volume's folder, wherever they are unpacked on the host. Planned
    // only once a file stands where an entry goes (a fresh folder needs no look at scratch files).
    PackageSetLimitFolder(package.archive, app::kFlashVolume);
    std::optional<InstallPlan> byNames;
    const auto scratchBase = [&]() -> std::u16string_view {
        if (!byNames) {
            PlanOptions namesAlone;
            namesAlone.verdictOnly = true;
            PlanEntries(entries.data(), static_cast<uint32_t>(entries.size()), namesAlone,
                        byNames.emplace());
        }
        return byNames->scratchBase;
    };
    TreeBefore tree;
    std::vector<EntryBefore> before(chosen.size());
    // A folder that is missing or empty holds nothing in any entry's way.
    const fs::file_type folderType = fs::symlink_status(FsPath(args.directory), code).type();
    const bool bare = folderType == fs::file_type::not_found ||
                      (folderType == fs::file_type::directory &&
                       fs::is_empty(FsPath(args.directory), code) && !code);
    for (std::size_t i = 0; i < chosen.size() && !bare; ++i) {
        const PackageEntryRecord record = package.Record(chosen[i]);
        before[i] = LookBefore(tree, args.directory, record, package, target, scratchBase);
        if (before[i].exists && (packageMayBeTarget || !before[i].link.empty())) {
            const std::string host = HostTarget(args.directory, record);
            if (fs::equivalent(FsPath(host), FsPath(args.file), code)) {
                return ReportFailure(host, "is the package being extracted; extract it elsewhere");
            }
        }
    }
    if (const std::string reason = CreateFolders(args.directory); !reason.empty()) {
        return ReportFailure(args.directory, "cannot create the folder: " + reason);
    }
    if (chosen.empty()) {
        return 0;  // an empty package: nothing to unpack
    }
    PackageSetJobs(package.archive, args.jobs);
    // Nothing below DIR is reached through a symbolic link: a planted link is refused, named
    // here, and the file layer follows none below DIR should one appear meanwhile.
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        if (!before[i].link.empty()) {
            return ReportFailure(before[i].link, "a symbolic link in the way of " +
                                                     WrittenName(package.Record(chosen[i])) +
                                                     "; extract never writes through links");
        }
    }
    std::unique_ptr<platform::FileSystem> guarded;
    std::u16string into = target;
#ifndef _WIN32
    // The names resolve as the device resolves them, through a device image of DIR's parent:
    // every letter-case spelling of a path lands on the one written first (the host's folder
    // would keep them apart), and no link is followed.
    std::string folder = FsText(fs::weakly_canonical(FsPath(args.directory), code));
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    const std::size_t slash = folder.find_last_of('/');
    if (!code && slash != std::string::npos && slash + 1 < folder.size()) {
        guarded = platform::FileSystem::DeviceImage(slash == 0 ? "/" : folder.substr(0, slash),
                                                    args.codePage);
        into = u"\\" + platform::Utf8ToUtf16(folder.substr(slash + 1)) + u"\\";
    }
#endif
    if (!guarded) {
        guarded = platform::FileSystem::HostPaths(target.c_str(), args.codePage);
    }
    const platform::UseFiles bound(*guarded);
    ProgressBar bar("extracting", StderrIsTerminal());
    const int32_t result =
        PackageExtractWith(package.archive, entries.data(), static_cast<uint32_t>(entries.size()),
                           into.c_str(), {&ShowProgress, &bar}, 1);
    bar.Finish();
    if (result != 1) {
        const std::string reason = platform::LastFileError();
        PackageProblem problem{};
        if (PackageLastProblem(package.archive, &problem) != 1) {
            return ReportFailure(args.file, "extraction failed");
        }
        // A file this run created for the failed entry goes again; a file that was there before
        // is left as it was (extraction replaces existing files only by complete copies).
        const auto at = std::find(chosen.begin(), chosen.end(), problem.entryIndex);
        if (at != chosen.end() && !before[static_cast<std::size_t>(at - chosen.begin())].exists &&
            !package.Record(*at).directory) {
            std::filesystem::remove(FsPath(HostTarget(args.directory, package.Record(*at))), code);
        }
        // Writing failed: the file written is the subject, with the system's reason.
        if ((problem.fault == PackageFault::kOpenOutput ||
             problem.fault == PackageFault::kShortWrite) &&
            problem.entryIndex < package.count) {
            std::string message = PackageFaultText(problem.fault);
            if (!reason.empty()) {
                message += ": " + reason;
            }
            return ReportFailure(HostTarget(args.directory, package.Record(problem.entryIndex)),
                                 message);
        }
        return ReportFailure(args.file, DescribeProblem(package, problem));
    }
    package.Release();  // closed by the extraction (close flag)
    return 0;
}

}  // namespace

void AddExtractCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<ExtractArguments>();
    CLI::App* extract = app.add_subcommand(
        "extract",
        "Unpack every entry of a package, or only the entries named, into DIR (created when "
        "missing) the way the installer does it. Existing files are replaced by complete copies; "
        "symbolic links in DIR are never followed (refused, named), and the package itself is "
        "never overwritten. Stops at the first damaged entry, names it and removes the file it "
        "had begun.");
    extract->add_option("FILE", args->file, "The package")->check(HostPathCheck())->required();
    extract->add_option("DIR", args->directory, "The directory to unpack into")
        ->check(HostPathCheck())
        ->required();
    extract->add_option("NAME", args->names,
                        "Stored names of the entries to unpack, in any letter case (`/` may stand "
                        "for `\\`); a named directory is unpacked with everything below it");
    extract
        ->add_option("--jobs", args->jobs,
                     "Threads that inflate blocks (default: one per processor); files are "
                     "written in the same order on one thread whatever the number")
        ->check(CLI::Range(1u, 64u));
    AddCodePageOption(extract, args->codePage);
    AddQuietOption(extract);
    extract->callback([args, &status] { status = RunExtract(*args); });
}
