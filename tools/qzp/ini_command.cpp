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
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "ini/ini_document.h"
#include "ini/ini_text.h"
#include "platform/file.h"
#include "platform/utf.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_path.h"

namespace {

struct DocumentCloser {
    void operator()(IniDocument* document) const { IniClose(document); }
};
using Document = std::unique_ptr<IniDocument, DocumentCloser>;

int Fail(const std::string& file, const std::string& reason, int status = 1) {
    std::cerr << "qzp: " << file << ": " << reason << "\n";
    return status;
}

std::string Utf8(const char16_t* text) {
    return platform::Utf16ToUtf8(text);
}

// Common to names and values: one line, no white space at the ends (the loader trims it).
std::optional<std::string> LineProblem(std::u16string_view text) {
    if (text.empty()) {
        return "is empty";
    }
    if (text.find_first_of(u"\r\n") != std::u16string_view::npos) {
        return "holds a line break";
    }
    if (ini_detail::IsSpace(text.front()) || ini_detail::IsSpace(text.back())) {
        return "begins or ends with white space";
    }
    return std::nullopt;
}

// Why a section name would not read back from the saved form, or nothing.
std::optional<std::string> SectionProblem(std::u16string_view name) {
    if (auto problem = LineProblem(name)) {
        return problem;
    }
    if (name.find_first_of(u"]#") != std::u16string_view::npos) {
        return "holds ']' or '#'";
    }
    return std::nullopt;
}

std::optional<std::string> KeyProblem(std::u16string_view key) {
    if (auto problem = LineProblem(key)) {
        return problem;
    }
    if (key.find(u'=') != std::u16string_view::npos) {
        return "holds '='";
    }
    if (key.front() == u';' || key.front() == u'#' || key.front() == u'[') {
        return "begins with ';', '#' or '['";
    }
    return std::nullopt;
}

std::optional<std::string> ValueProblem(std::u16string_view value) {
    if (auto problem = LineProblem(value)) {
        return problem;
    }
    if (value.find_first_of(u";#") != std::u16string_view::npos) {
        return "holds ';' or '#'";
    }
    if (value.front() == u'"' || value.front() == u'\'') {
        return "begins with a quote";
    }
    return std::nullopt;
}

// Why an entry already in the table would be lost or changed by saving and reading back.
std::optional<std::string> TableProblem(const IniTable* table) {
    bool sectionBefore = false;
    for (int32_t i = 0; i < table->capacity; ++i) {
        const IniEntry& entry = table->entries[i];
        const std::u16string_view key(entry.key);
        if (key.empty()) {
            continue;
        }
        const std::size_t hash = key.find(u'#');
        if (hash == std::u16string_view::npos) {
            if (key == kIniDefaultSection) {
                if (sectionBefore &&
                    IniTableKeyCount(const_cast<IniTable*>(table), entry.key) > 0) {
                    return "the default section follows another section";
                }
            } else if (auto problem = SectionProblem(key)) {
                return "section '" + platform::Utf16ToUtf8(key) + "' " + *problem;
            }
            sectionBefore = true;
            continue;
        }
        const std::u16string section(key.substr(0, hash));
        const std::u16string_view name = key.substr(hash + 1);
        const std::string where =
            platform::Utf16ToUtf8(section) + "/" + platform::Utf16ToUtf8(name);
        if (IniTableFind(const_cast<IniTable*>(table), section.c_str(), nullptr) == nullptr) {
            return "key " + where + " has no section";
        }
        if (auto problem = KeyProblem(name)) {
            return "key " + where + " " + *problem;
        }
        if (auto problem = ValueProblem(entry.value)) {
            return "value of " + where + " " + *problem;
        }
    }
    return std::nullopt;
}

// True when both documents enumerate the same sections, keys and values.
bool SameContents(IniDocument* a, IniDocument* b) {
    const int32_t sections = IniSectionCount(a);
    if (sections != IniSectionCount(b)) {
        return false;
    }
    for (int32_t s = 0; s < sections; ++s) {
        const std::u16string name = IniSectionName(a, s);
        if (name != IniSectionName(b, s) ||
            IniKeyCount(a, name.c_str()) != IniKeyCount(b, name.c_str())) {
            return false;
        }
        for (int32_t k = 0; k < IniKeyCount(a, name.c_str()); ++k) {
            const char16_t* key = IniKeyName(a, name.c_str(), k);
            const char16_t* other = IniKeyName(b, name.c_str(), k);
            char16_t va[kIniFieldUnits];
            char16_t vb[kIniFieldUnits];
            if (other == nullptr || std::u16string_view(key) != other ||
                IniGetString(a, name.c_str(), key, va) != 0 ||
                IniGetString(b, name.c_str(), key, vb) != 0 || std::u16string_view(va) != vb) {
                return false;
            }
        }
    }
    return true;
}

// Opens FILE; on failure prints the reason and returns null.
Document Open(const std::string& file, const std::u16string& path) {
    Document document(IniOpen(path.c_str()));
    if (document == nullptr) {
        if (platform::GetAttributes(path.c_str()) == platform::kInvalidFileAttributes) {
            Fail(file, "no such file");
        } else if (path.size() > 259) {
            Fail(file, "path longer than 259 units");
        } else {
            Fail(file, "not a UTF-16 INI file (it must begin with the bytes FF FE)");
        }
    }
    return document;
}

// Writes the mark FF FE alone: an empty settings file that IniOpen accepts.
bool CreateEmpty(const std::u16string& path) {
    std::FILE* stream = platform::OpenStream(path.c_str(), u"wb");
    if (stream == nullptr) {
        return false;
    }
    const unsigned char mark[2] = {0xFF, 0xFE};
    const bool written = platform::WriteStream(stream, mark, sizeof mark) == sizeof mark;
    return std::fclose(stream) == 0 && written;
}

int Get(const std::string& file, const std::string& section, const std::string& key) {
    std::u16string path;
    std::string error;
    if (!ToDevicePath(file, path, error)) {
        return Fail(file, error);
    }
    Document document = Open(file, path);
    if (document == nullptr) {
        return 1;
    }
    char16_t value[kIniFieldUnits];
    if (IniGetString(document.get(), platform::Utf8ToUtf16(section).c_str(),
                     platform::Utf8ToUtf16(key).c_str(), value) != 0) {
        return Fail(file, "no key '" + key + "' in section '" + section + "'");
    }
    std::cout << Utf8(value) << "\n";
    return 0;
}

int Set(const std::string& file, const std::string& section, const std::string& key,
        const std::string& value) {
    const std::u16string s = platform::Utf8ToUtf16(section);
    const std::u16string k = platform::Utf8ToUtf16(key);
    const std::u16string v = platform::Utf8ToUtf16(value);
    if (auto problem = SectionProblem(s)) {
        return Fail(file, "section name " + *problem + ": it would not read back", 2);
    }
    if (auto problem = KeyProblem(k)) {
        return Fail(file, "key " + *problem + ": it would not read back", 2);
    }
    if (auto problem = ValueProblem(v)) {
        return Fail(file, "value " + *problem + ": it would not read back", 2);
    }
    if (s.size() + 1 + k.size() > static_cast<std::size_t>(kIniMaxUnits) ||
        v.size() > static_cast<std::size_t>(kIniMaxUnits)) {
        return Fail(file,
                    "too long: section and key together hold at most 254 UTF-16 units, a value "
                    "255",
                    2);
    }
    std::u16string path;
    std::string error;
    if (!ToDevicePath(file, path, error)) {
        return Fail(file, error);
    }
    if (path.size() > 259) {
        return Fail(file, "path longer than 259 units");
    }
    if (platform::GetAttributes(path.c_str()) == platform::kInvalidFileAttributes &&
        !CreateEmpty(path)) {
        return Fail(file, "cannot create the file");
    }
    Document document = Open(file, path);
    if (document == nullptr) {
        return 1;
    }
    IniSetString(document.get(), s.c_str(), k.c_str(), v.c_str());
    if (auto problem = TableProblem(document->table)) {
        return Fail(file, "not saved: " + *problem + ", so it would be lost");
    }
    IniSave(document.get());
    Document saved(IniOpen(path.c_str()));
    if (saved == nullptr || !SameContents(document.get(), saved.get())) {
        return Fail(file, "save failed: the file does not read back as written");
    }
    return 0;
}

int Dump(const std::string& file, bool json) {
    std::u16string path;
    std::string error;
    if (!ToDevicePath(file, path, error)) {
        return Fail(file, error);
    }
    Document document = Open(file, path);
    if (document == nullptr) {
        return 1;
    }
    IniDocument* d = document.get();
    nlohmann::ordered_json sections = nlohmann::ordered_json::array();
    for (int32_t s = 0; s < IniSectionCount(d); ++s) {
        const std::u16string name = IniSectionName(d, s);
        nlohmann::ordered_json keys = nlohmann::ordered_json::array();
        if (!json) {
            std::cout << "[" << Utf8(name.c_str()) << "]\n";
        }
        for (int32_t k = 0; k < IniKeyCount(d, name.c_str()); ++k) {
            const std::u16string key = IniKeyName(d, name.c_str(), k);
            char16_t value[kIniFieldUnits] = {};
            IniGetString(d, name.c_str(), key.c_str(), value);
            if (json) {
                keys.push_back({{"key", Utf8(key.c_str())}, {"value", Utf8(value)}});
            } else {
                std::cout << Utf8(key.c_str()) << " = " << Utf8(value) << "\n";
            }
        }
        sections.push_back({{"name", Utf8(name.c_str())}, {"keys", keys}});
    }
    if (json) {
        std::cout << nlohmann::ordered_json{{"sections", sections}}.dump(2) << "\n";
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
    get->add_option("FILE", args->file, "INI file (UTF-16 with the mark FF FE)")->required();
    get->add_option("SECTION", args->section, "section name, exact case")->required();
    get->add_option("KEY", args->key, "key name, exact case")->required();
    get->callback([&status, args] { status = Get(args->file, args->section, args->key); });

    CLI::App* set = ini->add_subcommand(
        "set",
        "Set SECTION/KEY to VALUE and save the file in the form the device reads (created if "
        "missing). Text that would not read back (empty, ';' or '#' in a value, a leading quote, "
        "white space at the ends, '=' in a key, ']' or '#' in a section) is refused with exit 2; "
        "exit 1 when saving would lose an entry already in the file or the save fails.");
    set->add_option("FILE", args->file, "INI file; created when it does not exist")->required();
    set->add_option("SECTION", args->section, "section name (__default for keys before any header)")
        ->required();
    set->add_option("KEY", args->key, "key name")->required();
    set->add_option("VALUE", args->value, "value, at most 255 UTF-16 units")->required();
    set->callback(
        [&status, args] { status = Set(args->file, args->section, args->key, args->value); });

    CLI::App* dump = ini->add_subcommand(
        "dump", "Print every section and key in the order the file keeps them.");
    dump->add_flag("--json", args->json,
                   "print {\"sections\": [{\"name\": ..., \"keys\": [{\"key\": ..., \"value\": "
                   "...}]}]}");
    dump->add_option("FILE", args->file, "INI file (UTF-16 with the mark FF FE)")->required();
    dump->callback([&status, args] { status = Dump(args->file, args->json); });
}
