// qzp list: the catalogue of a package, as text or JSON.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "package/package_archive.h"
#include "package/package_entry.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/package_file.h"

namespace {

struct ListArguments {
    bool json = false;
    std::string file;
};

int RunList(const ListArguments& args) {
    OpenedPackage package;
    if (const int opened = package.Open(args.file); opened != 0) {
        return opened;
    }
    if (args.json) {
        nlohmann::ordered_json entries = nlohmann::ordered_json::array();
        for (uint32_t k = 0; k < package.count; ++k) {
            const PackageEntry* entry = package.entries[k];
            char crc[16];
            std::snprintf(crc, sizeof crc, "%08x", entry->crc());
            entries.push_back({{"name", ValidUtf8(EntryName(entry))},
                               {"size", entry->UncompressedTotal()},
                               {"compressedSize", entry->CompressedTotal()},
                               {"crc", crc},
                               {"blocks", entry->blockCount()},
                               {"directory", entry->IsDirectory()}});
        }
        const nlohmann::ordered_json document = {
            {"comment", ValidUtf8(package.archive->endRecord().comment)}, {"entries", entries}};
        std::cout << document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << "\n";
        return 0;
    }
    for (uint32_t k = 0; k < package.count; ++k) {
        const PackageEntry* entry = package.entries[k];
        std::printf("%c %10u %10u %08x %s\n", entry->IsDirectory() ? 'd' : 'f',
                    entry->UncompressedTotal(), entry->CompressedTotal(), entry->crc(),
                    Printable(EntryName(entry)).c_str());
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
    list->add_option("FILE", args->file, "The package")->required();
    list->callback([args, &status] { status = RunList(*args); });
}
