#include "tools/qzp/manifest.h"

#include <algorithm>
#include <memory>

#include "ini/ini_document.h"
#include "platform/text.h"
#include "tools/qzp/command_kit.h"
#include "tools/qzp/ini_file.h"

namespace {

struct DocumentCloser {
    void operator()(IniDocument* document) const { IniClose(document); }
};

std::optional<std::string> Value(IniDocument* document, const char16_t* section,
                                 const char16_t* key) {
    char16_t value[kIniFieldUnits] = {};
    if (IniGetString(document, section, key, value) != 0) {
        return std::nullopt;
    }
    return platform::Utf16ToUtf8(value);
}

std::string HostName(const std::string& source, const std::string& stored) {
    std::string name = ShownName(stored);  // as text: a second byte may be `\`
    if (!name.empty() && name.back() == '\\') {
        name.pop_back();
    }
    std::replace(name.begin(), name.end(), '\\', '/');
    return source + (source.empty() || source.back() == '/' ? "" : "/") + name;
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

bool ReadManifest(const std::u16string& path, ManifestInfo& manifest) {
    std::unique_ptr<IniDocument, DocumentCloser> document(IniOpen(path.c_str()));
    if (document == nullptr) {
        return false;
    }
    manifest = ManifestInfo{};
    manifest.version = Value(document.get(), u"Config", u"SoftwareVersion").value_or("");
    manifest.isPatchText = Value(document.get(), u"UpdateInfo", u"IsPatch");
    IniGetInt(document.get(), u"UpdateInfo", u"IsPatch", &manifest.isPatch);
    manifest.oldVersion = Value(document.get(), u"UpdateInfo", u"oldVersion").value_or("");
    IniGetInt(document.get(), u"UpdateInfo", u"AllowDowngrade", &manifest.allowDowngrade);
    return true;
}

std::optional<std::string> TreeManifestProblem(const std::string& source,
                                               const PackTreeResult& tree, std::string& subject) {
    // The device takes the first entry with the manifest's name in any letter case.
    const auto found = std::find_if(tree.items.begin(), tree.items.end(), [](const PackItem& item) {
        return platform::EqualsIgnoringAsciiCase(item.name, kManifestEntry) ||
               platform::EqualsIgnoringAsciiCase(item.name, "VORIZ\\INDEX.INI\\");
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

std::string DescribeKind(const ManifestInfo* manifest) {
    if (manifest == nullptr) {
        return "full update without a manifest (no version)";
    }
    // A device that holds trusted keys installs a signed package older than its own version only
    // with this leave.
    const std::string back =
        manifest->allowDowngrade != 0 ? ", may replace a newer version (AllowDowngrade)" : "";
    if (manifest->isPatch != 0) {
        // The device compares oldVersion with its installed version, "undetected" without one.
        return (manifest->oldVersion.empty()
                    ? std::string("patch without oldVersion (no device accepts it)")
                    : "patch for " + manifest->oldVersion) +
               back;
    }
    return "full update" + back;
}
