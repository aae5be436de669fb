// qzp diff: what differs between two packages or directories, entry by entry, as a device sees
// them (names compared without regard to letter case, files by size and CRC-32).
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "platform/file.h"
#include "tools/qzp/code_page_option.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/tree_listing.h"

namespace {

struct DiffArguments {
    uint32_t codePage = platform::kDefaultCodePage;
    std::string first;
    std::string second;
};

std::string Version(const TreeListing& listing) {
    if (listing.manifestUnreadable) {
        return "(unreadable manifest)";
    }
    return listing.manifest ? listing.manifest->version : std::string("(no manifest)");
}

std::string Describe(const TreeEntry& entry) {
    if (entry.directory) {
        return "directory";
    }
    char text[48];
    std::snprintf(text, sizeof text, "%u bytes, CRC %08x", entry.size, entry.crc);
    return text;
}

int RunDiff(const DiffArguments& args) {
    const CodePageFiles names(args.codePage);
    TreeListing a;
    TreeListing b;
    if (LoadTree(args.first, a) != 0 || LoadTree(args.second, b) != 0) {
        return 2;
    }
    std::map<std::string, const TreeEntry*> before;
    for (const TreeEntry& entry : a.entries) {
        before.emplace(NameKey(entry.name), &entry);
    }
    int differences = 0;
    const std::string versionA = Version(a);
    const std::string versionB = Version(b);
    if (versionA != versionB) {
        std::printf("version: %s -> %s\n", Printable(versionA).c_str(),
                    Printable(versionB).c_str());
        ++differences;
    }
    for (const TreeEntry& entry : b.entries) {
        const auto found = before.find(NameKey(entry.name));
        if (found == before.end()) {
            std::printf("added:   %s (%s)\n", Printable(ShownName(entry.name)).c_str(),
                        Describe(entry).c_str());
            ++differences;
            continue;
        }
        const TreeEntry& old = *found->second;
        if (old.directory != entry.directory || old.size != entry.size || old.crc != entry.crc) {
            std::printf("changed: %s (%s -> %s)\n", Printable(ShownName(entry.name)).c_str(),
                        Describe(old).c_str(), Describe(entry).c_str());
            ++differences;
        }
        before.erase(found);
    }
    for (const TreeEntry& entry : a.entries) {
        if (before.count(NameKey(entry.name)) != 0) {
            std::printf("removed: %s (%s)\n", Printable(ShownName(entry.name)).c_str(),
                        Describe(entry).c_str());
            ++differences;
        }
    }
    if (differences == 0) {
        std::printf("same: version %s, %zu entries\n", Printable(versionA).c_str(),
                    b.entries.size());
        return 0;
    }
    return 1;
}

}  // namespace

void AddDiffCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<DiffArguments>();
    CLI::App* diff = app.add_subcommand(
        "diff",
        "Compare two packages or directories: the manifests' versions, then entries added, "
        "changed (by size and CRC-32) and removed, names matched without regard to letter case "
        "as on the device. Exit 0 when equal, 1 when different, 2 when one cannot be read.");
    diff->add_option("A", args->first, "The older package or directory")
        ->check(HostPathCheck())
        ->required();
    diff->add_option("B", args->second, "The newer package or directory")
        ->check(HostPathCheck())
        ->required();
    AddCodePageOption(diff, args->codePage);
    diff->callback([args, &status] { status = RunDiff(*args); });
}
