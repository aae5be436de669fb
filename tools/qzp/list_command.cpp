// qzp list: the catalogue of a package, as text or JSON.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "package/package_contents.h"
#include "platform/file.h"
#include "tools/qzp/code_page_option.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/opened_package.h"
#include "tools/qzp/output.h"

namespace {

struct ListArguments {
    uint32_t codePage = platform::kDefaultCodePage;
    bool json = false;
    std::string file;
};

int RunList(const ListArguments& args) {
    const CodePageFiles names(args.codePage);
    OpenedPackage package;
    if (const int opened = package.Open(args.file); opened != 0) {
        return opened;
    }
    // Names as stored, every byte: a NUL inside one is shown (\x00), not taken as its end.
    if (args.json) {
        nlohmann::ordered_json entries = nlohmann::ordered_json::array();
        for (uint32_t k = 0; k < package.count; ++k) {
            const PackageEntryRecord entry = package.Record(k);
            char crc[16];
            std::snprintf(crc, sizeof crc, "%08x", entry.crc);
            entries.push_back({{"name", ValidUtf8(ShownName(entry.storedName))},
                               {"size", entry.size},
                               {"compressedSize", entry.compressedSize},
                               {"crc", crc},
                               {"blocks", entry.blocks},
                               {"directory", entry.directory}});
        }
        std::string comment;
        PackageGetComment(package.archive, &comment);
        const nlohmann::ordered_json document = {{"comment", ValidUtf8(comment)},
                                                 {"entries", entries}};
        PrintJson(document);
        return 0;
    }
    for (uint32_t k = 0; k < package.count; ++k) {
        const PackageEntryRecord entry = package.Record(k);
        std::printf("%c %10u %10u %08x %s\n", entry.directory ? 'd' : 'f', entry.size,
                    entry.compressedSize, entry.crc,
                    Printable(ShownName(entry.storedName)).c_str());
    }
    return 0;
}

}  // namespace

void AddListCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<ListArguments>();
    CLI::App* list = app.add_subcommand(
        "list",
        "List a package's entries in catalogue order, one line each: kind (d directory, f "
        "file), size, compressed size, CRC-32 (hex) and stored name, with control characters "
        "and bytes that are not UTF-8 escaped (\\n, \\x1b).");
    list->add_flag("--json", args->json,
                   "Print {\"comment\", \"entries\": [{\"name\", \"size\", \"compressedSize\", "
                   "\"crc\" (8 hex digits), \"blocks\", \"directory\"}]} instead");
    list->add_option("FILE", args->file, "The package")->check(HostPathCheck())->required();
    AddCodePageOption(list, args->codePage);
    list->callback([args, &status] { status = RunList(*args); });
}
