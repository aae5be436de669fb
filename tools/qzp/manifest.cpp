#include "tools/qzp/manifest.h"

#include <algorithm>
#include <memory>

#include "app/update_decision.h"
#include "ini/ini_document.h"
#include "package/install_plan.h"
#include "platform/text.h"
#include "tools/qzp/code_page_option.h"
#include "tools/qzp/ini_file.h"

namespace {

std::string HostName(const std::string& source, const std::string& stored) {
    std::string name = ShownName(stored);  // as text: a second byte may be `\`
    if (!name.empty() && name.back() == '\\') {
        name.pop_back();
    }
    std::replace(name.begin(), name.end(), '\\', '/');
    return source + (source.empty() || source.back() == '/' ? "" : "/") + name;
}

// What a device reads of a manifest, and whether a key spelt otherwise changes the kind of update.
struct KnownKey {
    const char16_t* section;
    const char16_t* key;
    bool kind;
};
constexpr KnownKey kKnownKeys[] = {{u"Config", u"SoftwareVersion", false},
                                   {u"UpdateInfo", u"IsPatch", true},
                                   {u"UpdateInfo", u"oldVersion", true},
                                   {u"UpdateInfo", u"AllowDowngrade", false}};

// Whether `name` is near `known`: the same but for letter case, or at most two letters added,
// dropped or changed (in a name of five or more).
bool Near(std::u16string_view name, std::u16string_view known) {
    const std::u16string a = platform::FoldedAscii(name);
    const std::u16string b = platform::FoldedAscii(known);
    if (a == b) {
        return true;
    }
    if (b.size() < 5 || (a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > 2) {
        return false;
    }
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()] <= 2;
}

std::string Utf8(std::u16string_view text) {
    return platform::Utf16ToUtf8(std::u16string(text));
}

constexpr char kNoManifestHint[] = "or pass --no-manifest if the package is meant to have none";

}  // namespace

bool IsDecimalInteger(const std::string& text) {
    std::size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    if (i == text.size()) {
        return false;
    }
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

bool IsManifestEntry(const std::string& stored) {
    std::u16string name = platform::Utf8ToUtf16(ShownName(stored));
    if (!name.empty() && name.back() == u'\\') {
        name.pop_back();
    }
    return IsManifestName(name);
}

bool ReadManifest(const std::u16string& path, ManifestInfo& manifest) {
    app::ManifestValues values;
    if (!app::ReadManifestFile(path.c_str(), values)) {
        return false;
    }
    manifest = ManifestInfo{};
    manifest.version = platform::Utf16ToUtf8(values.version);
    if (values.isPatchText) {
        manifest.isPatchText = platform::Utf16ToUtf8(*values.isPatchText);
    }
    manifest.isPatch = values.isPatch;
    manifest.oldVersion = platform::Utf16ToUtf8(values.oldVersion);
    manifest.allowDowngrade = values.allowDowngrade;
    return true;
}

std::optional<std::string> TreeManifestProblem(const std::string& source,
                                               const PackTreeResult& tree, std::string& subject) {
    const auto found = std::find_if(tree.items.begin(), tree.items.end(), [](const PackItem& item) {
        return IsManifestEntry(item.name);
    });
    if (found == tree.items.end()) {
        const auto elsewhere =
            std::find_if(tree.items.begin(), tree.items.end(), [](const PackItem& item) {
                const std::string name = ShownName(item.name);
                const std::size_t slash = name.find_last_of('\\');
                const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
                return !item.source.empty() && platform::EqualsIgnoringAsciiCase(last, "INDEX.INI");
            });
        if (elsewhere != tree.items.end()) {
            subject = HostName(source, elsewhere->name);
            return "the manifest must be stored as VORIZ/INDEX.INI, not as " +
                   HostName("", elsewhere->name) +
                   " (a device would purge its flash volume and keep no version); pack the "
                   "folder that holds VORIZ, " +
                   kNoManifestHint;
        }
        subject = source;
        return std::string(
                   "no manifest VORIZ/INDEX.INI (a device would purge its flash volume "
                   "and keep no version); make one with 'qzp manifest ") +
               source + " --version V', " + kNoManifestHint;
    }
    subject = HostName(source, found->name);
    if (found->source.empty()) {
        return std::string("the manifest is a folder, not a file; write it with 'qzp manifest', ") +
               kNoManifestHint;
    }
    ManifestInfo manifest;
    if (!ReadManifest(found->source, manifest)) {
        return "the manifest cannot be read: " + IniOpenFailure(found->source) +
               "; write it with 'qzp manifest' or 'qzp ini set', " + kNoManifestHint;
    }
    if (manifest.version.empty()) {
        return "Config/SoftwareVersion is missing or empty (a device would install the package "
               "and keep no version, so no patch could follow); set it with 'qzp manifest " +
               source + " --version V'";
    }
    if (manifest.isPatchText && !IsDecimalInteger(*manifest.isPatchText)) {
        return "UpdateInfo/IsPatch is '" + *manifest.isPatchText +
               "', not a decimal integer (a device would read 0 and purge its flash volume); "
               "set it to 1 for a patch or 0 for a full update";
    }
    return std::nullopt;
}

std::vector<ManifestSpelling> ManifestSpellings(const std::u16string& path) {
    std::vector<ManifestSpelling> found;
    const std::unique_ptr<IniDocument, void (*)(IniDocument*)> document(IniOpen(path.c_str()),
                                                                        &IniClose);
    for (int32_t s = 0; s < IniSectionCount(document.get()); ++s) {
        const std::u16string section = IniSectionName(document.get(), s);
        if (section == u"__default") {  // keys before the first section: a device reads none
            for (int32_t k = 0; k < IniKeyCount(document.get(), section.c_str()); ++k) {
                found.push_back({Utf8(IniKeyName(document.get(), section.c_str(), k)) +
                                     ": a device reads no key before the first section",
                                 false});
            }
            continue;
        }
        const char16_t* known = nullptr;
        for (const KnownKey& entry : kKnownKeys) {
            if (known == nullptr && Near(section, entry.section)) {
                known = entry.section;
            }
        }
        if (known == nullptr) {
            found.push_back({"[" + Utf8(section) + "]: a device reads no such section", false});
            continue;
        }
        if (section != known) {
            found.push_back({"[" + Utf8(section) +
                                 "]: a device reads no such section; did you mean [" + Utf8(known) +
                                 "]?",
                             false});
        }
        for (int32_t k = 0; k < IniKeyCount(document.get(), section.c_str()); ++k) {
            const std::u16string key = IniKeyName(document.get(), section.c_str(), k);
            const KnownKey* near = nullptr;
            for (const KnownKey& entry : kKnownKeys) {
                if (near == nullptr && entry.section == std::u16string_view(known) &&
                    Near(key, entry.key)) {
                    near = &entry;
                }
            }
            const std::string name = Utf8(section) + "/" + Utf8(key);
            if (near == nullptr) {
                found.push_back({name + ": a device reads no such key", false});
            } else if (section != known || key != near->key) {
                found.push_back({name + ": a device reads no such key; did you mean " +
                                     Utf8(known) + "/" + Utf8(near->key) + "?",
                                 near->kind});
            }
        }
    }
    return found;
}

std::string DescribeKind(const ManifestInfo* manifest) {
    if (manifest == nullptr) {
        return "full update without a manifest (no version)";
    }
    // A device that holds trusted keys installs a signed package older than its own version only
    // with this leave.
    const std::string back =
        manifest->allowDowngrade != 0 ? ", may replace a newer version (AllowDowngrade)" : "";
    if (manifest->isPatch != 0) {
        return "patch for " + manifest->oldVersion + back;
    }
    return "full update" + back;
}
