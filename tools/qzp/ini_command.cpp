// qzp ini: reads and writes the UTF-16 INI files of the device through IniDocument, the code the
// installer itself uses.
//
//   qzp ini get FILE SECTION KEY         prints the value
//   qzp ini set FILE SECTION KEY VALUE   sets the key and saves (creating the file if needed)
//   qzp ini dump [--json] FILE           every section and key in slot order
//
// The saved form writes values without quotes, so some texts cannot be stored: `set` refuses
// them (status 2 for the argument, 1 when an entry already in the file would be lost), and it
// reads the file back after saving because IniSave reports nothing.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "ini/ini_document.h"
#include "ini/ini_round_trip.h"
#include "ini/ini_text.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/ini_file.h"
#include "tools/qzp/output.h"

namespace {

struct DocumentCloser {
    void operator()(IniDocument* document) const { IniClose(document); }
};
using Document = std::unique_ptr<IniDocument, DocumentCloser>;

// Why an entry already in the table would be lost or changed by saving and reading back.
std::optional<std::string> TableProblem(IniTable* table) {
    const int32_t slot = IniTableFirstLoss(table);
    if (slot < 0) {
        return std::nullopt;
    }
    const std::u16string_view key(table->entries[slot].key);
    const std::size_t hash = key.find(u'#');
    if (hash == std::u16string_view::npos) {
        return "section '" + platform::Utf16ToUtf8(key) + "' would not read back";
    }
    return "key " + platform::Utf16ToUtf8(key.substr(0, hash)) + "/" +
           platform::Utf16ToUtf8(key.substr(hash + 1)) + " would not read back";
}

// True when both tables enumerate the same sections, keys and values.
bool SameContents(IniTable* a, IniTable* b) {
    const int32_t sections = IniTableSectionCount(a);
    if (sections != IniTableSectionCount(b)) {
        return false;
    }
    for (int32_t s = 0; s < sections; ++s) {
        const std::u16string name = IniTableSectionName(a, s);
        if (name != IniTableSectionName(b, s) ||
            IniTableKeyCount(a, name.c_str()) != IniTableKeyCount(b, name.c_str())) {
            return false;
        }
        for (int32_t k = 0; k < IniTableKeyCount(a, name.c_str()); ++k) {
            const char16_t* key = IniTableKeyName(a, name.c_str(), k);
            const char16_t* other = IniTableKeyName(b, name.c_str(), k);
            if (other == nullptr || std::u16string_view(key) != other ||
                std::u16string_view(IniTableGetString(a, name.c_str(), key, u"")) !=
                    IniTableGetString(b, name.c_str(), key, u"")) {
                return false;
            }
        }
    }
    return true;
}

// The file's text after the mark, as UTF-16 units (empty when it cannot be read).
std::u16string RawText(const std::u16string& path) {
    std::u16string text;
    std::FILE* in = platform::OpenStream(path.c_str(), u"rb");
    if (in == nullptr) {
        return text;
    }
    unsigned char pair[2];
    while (std::fread(pair, 1, 2, in) == 2) {
        text.push_back(static_cast<char16_t>(pair[0] | (pair[1] << 8)));
    }
    std::fclose(in);
    return text.size() > 0 ? text.substr(1) : text;
}

// True when `field` fills its slot (`used` units of the 255, counting what shares the slot) and
// appears in `raw` only within a longer word: the loader kept the first units and a
// save would cut it for good.
bool CutOnLoading(std::u16string_view field, std::size_t used, std::u16string_view raw) {
    if (field.empty() || used + 1 < static_cast<std::size_t>(kIniMaxUnits)) {
        return false;
    }
    constexpr std::u16string_view kStarts = u"\r\n=[\"' \t";
    constexpr std::u16string_view kEnds = u"\r\n;#=]\"' \t";
    for (std::size_t at = raw.find(field); at != std::u16string_view::npos;
         at = raw.find(field, at + 1)) {
        const std::size_t after = at + field.size();
        const bool starts = at == 0 || kStarts.find(raw[at - 1]) != std::u16string_view::npos;
        if (starts &&
            (after == raw.size() || kEnds.find(raw[after]) != std::u16string_view::npos)) {
            return false;
        }
    }
    return true;
}

// The first entry of the loaded table that the loader had to cut, or nothing.
std::optional<std::string> CutEntry(IniTable* table, const std::u16string& raw) {
    for (int32_t s = 0; s < IniTableSectionCount(table); ++s) {
        const std::u16string section = IniTableSectionName(table, s);
        if (CutOnLoading(section, section.size(), raw)) {
            return "section '" + platform::Utf16ToUtf8(section.c_str()) + "'";
        }
        for (int32_t k = 0; k < IniTableKeyCount(table, section.c_str()); ++k) {
            const std::u16string_view key = IniTableKeyName(table, section.c_str(), k);
            const std::u16string_view value =
                IniTableGetString(table, section.c_str(), key.data(), u"");
            const std::string where =
                platform::Utf16ToUtf8(section.c_str()) + "/" + platform::Utf16ToUtf8(key.data());
            if (CutOnLoading(key, section.size() + 1 + key.size(), raw)) {
                return "the key " + where;
            }
            if (CutOnLoading(value, value.size(), raw)) {
                return "the value of " + where;
            }
        }
    }
    return std::nullopt;
}

// Opens FILE; on failure prints the reason and returns null.
Document Open(const std::string& file, const std::u16string& path) {
    Document document(IniOpenWhole(path.c_str()));
    if (document == nullptr) {
        const std::string problem = ReadProblem(file);
        ReportFailure(file, problem.empty() ? IniOpenFailure(path) : problem);
    }
    return document;
}

// FILE as a device path, opened; on failure prints the reason and returns null.
Document OpenArgument(const std::string& file) {
    std::u16string path;
    std::string error;
    if (!ToDevicePath(file, path, error)) {
        ReportFailure(file, error);
        return nullptr;
    }
    return Open(file, path);
}

int Get(const std::string& file, const std::string& section, const std::string& key) {
    Document document = OpenArgument(file);
    if (document == nullptr) {
        return 1;
    }
    char16_t value[kIniFieldUnits];
    if (IniGetString(document.get(), platform::Utf8ToUtf16(section).c_str(),
                     platform::Utf8ToUtf16(key).c_str(), value) != 0) {
        return ReportFailure(file, "no key '" + key + "' in section '" + section + "'");
    }
    std::cout << Printable(platform::Utf16ToUtf8(value)) << "\n";
    return 0;
}

struct TableFree {
    void operator()(IniTable* table) const { IniTableFree(table); }
};

int Set(const CLI::App& command, const std::string& file, const std::string& section,
        const std::string& key, const std::string& value) {
    for (const std::string* text : {&section, &key, &value}) {
        if (!platform::IsUtf8(*text)) {
            return ReportUsage(command, file + ": '" + *text + "' is not valid UTF-8 text");
        }
    }
    const std::u16string s = platform::Utf8ToUtf16(section);
    const std::u16string k = platform::Utf8ToUtf16(key);
    const std::u16string v = platform::Utf8ToUtf16(value);
    if (s.size() + 1 + k.size() > static_cast<std::size_t>(kIniMaxUnits) ||
        v.size() > static_cast<std::size_t>(kIniMaxUnits)) {
        return ReportUsage(command, file +
                                        ": too long: section and key together hold at most 254 "
                                        "UTF-16 units, a value 255");
    }
    if (auto problem = IniEntryProblem(s, k, v)) {
        return ReportUsage(command, file + ": " + *problem);
    }
    std::u16string path;
    std::string error;
    if (!ToDevicePath(file, path, error)) {
        return ReportFailure(file, error);
    }
    if (path.size() > 259) {
        return ReportFailure(file, "path longer than 259 units");
    }
    // A new file starts as an empty table in memory: nothing is written before the save.
    Document document;
    std::unique_ptr<IniTable, TableFree> fresh;
    IniTable* table = nullptr;
    if (platform::GetAttributes(path.c_str()) == platform::kInvalidFileAttributes) {
        const std::string parent = FsText(FsPath(file).parent_path());
        if (const std::string reason = parent.empty() ? std::string() : CreateFolders(parent);
            !reason.empty()) {
            return ReportFailure(parent, "cannot create the folder: " + reason);
        }
        fresh.reset(IniTableCreate(0));
        table = fresh.get();
        IniTableSetString(table, kIniDefaultSection, nullptr, u"");
    } else {
        document = Open(file, path);
        if (document == nullptr) {
            return 1;
        }
        table = document->table;
        if (auto cut = CutEntry(table, RawText(path))) {
            return ReportFailure(file, "not saved: " + *cut +
                                           " is longer than the 255 UTF-16 units a field holds and "
                                           "would be cut");
        }
    }
    IniTableSetString(table, s.c_str(), k.c_str(), v.c_str());
    if (auto problem = TableProblem(table)) {
        return ReportFailure(file, "not saved: " + *problem);
    }
    if (!SaveIniFile(file, path, table, error)) {
        return ReportFailure(file, "not saved: " + error);
    }
    Document saved(IniOpenWhole(path.c_str()));
    if (saved == nullptr || !SameContents(table, saved->table)) {
        return ReportFailure(file, "save failed: the file does not read back as written");
    }
    return 0;
}

int Dump(const std::string& file, bool json) {
    Document document = OpenArgument(file);
    if (document == nullptr) {
        return 1;
    }
    IniDocument* d = document.get();
    nlohmann::ordered_json sections = nlohmann::ordered_json::array();
    for (int32_t s = 0; s < IniSectionCount(d); ++s) {
        const std::u16string name = IniSectionName(d, s);
        nlohmann::ordered_json keys = nlohmann::ordered_json::array();
        if (!json) {
            std::cout << "[" << Printable(platform::Utf16ToUtf8(name.c_str())) << "]\n";
        }
        for (int32_t k = 0; k < IniKeyCount(d, name.c_str()); ++k) {
            const std::u16string key = IniKeyName(d, name.c_str(), k);
            char16_t value[kIniFieldUnits] = {};
            IniGetString(d, name.c_str(), key.c_str(), value);
            if (json) {
                keys.push_back({{"key", platform::Utf16ToUtf8(key.c_str())},
                                {"value", platform::Utf16ToUtf8(value)}});
            } else {
                std::cout << Printable(platform::Utf16ToUtf8(key.c_str())) << " = "
                          << Printable(platform::Utf16ToUtf8(value)) << "\n";
            }
        }
        sections.push_back({{"name", platform::Utf16ToUtf8(name.c_str())}, {"keys", keys}});
    }
    if (json) {
        PrintJson({{"sections", sections}});
    }
    return 0;
}

}  // namespace

void AddIniCommand(CLI::App& app, int& status) {
    CLI::App* ini = app.add_subcommand(
        "ini",
        "Read and write UTF-16 INI files (version records, card settings, package manifests). "
        "Keys before the first section header belong to the section __default.");
    ini->require_subcommand(1);

    struct Arguments {
        std::string file, section, key, value;
        bool json = false;
    };
    auto args = std::make_shared<Arguments>();

    CLI::App* get = ini->add_subcommand(
        "get",
        "Print the value of SECTION/KEY. Exit 1 when the file cannot be read or the key is "
        "absent.");
    get->add_option("FILE", args->file, "INI file (UTF-16 with the mark FF FE)")
        ->check(HostPathCheck())
        ->required();
    get->add_option("SECTION", args->section, "section name, exact case")->required();
    get->add_option("KEY", args->key, "key name, exact case")->required();
    get->callback([&status, args] { status = Get(args->file, args->section, args->key); });

    CLI::App* set = ini->add_subcommand(
        "set",
        "Set SECTION/KEY to VALUE and save the file in the form the device reads (created if "
        "missing). Text that would not read back (empty, ';' or '#' in a value, a leading quote, "
        "white space at the ends, '=' in a key, ']' or '#' in a section) is refused with exit 2; "
        "exit 1 when saving would lose an entry already in the file or the save fails.");
    set->add_option("FILE", args->file, "INI file; created when it does not exist")
        ->check(HostPathCheck())
        ->required();
    set->add_option("SECTION", args->section, "section name (__default for keys before any header)")
        ->required();
    set->add_option("KEY", args->key, "key name")->required();
    set->add_option("VALUE", args->value, "value, at most 255 UTF-16 units")->required();
    set->callback([set, &status, args] {
        status = Set(*set, args->file, args->section, args->key, args->value);
    });

    CLI::App* dump = ini->add_subcommand(
        "dump", "Print every section and key in the order the file keeps them.");
    dump->add_flag("--json", args->json,
                   "print {\"sections\": [{\"name\": ..., \"keys\": [{\"key\": ..., \"value\": "
                   "...}]}]}");
    dump->add_option("FILE", args->file, "INI file (UTF-16 with the mark FF FE)")
        ->check(HostPathCheck())
        ->required();
    dump->callback([&status, args] { status = Dump(args->file, args->json); });
}
