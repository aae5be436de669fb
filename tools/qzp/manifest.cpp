#include "tools/qzp/manifest.h"

#include <algorithm>
#include <memory>

#include "app/update_decision.h"
#include "package/install_plan.h"
#include "platform/text.h"
#include "tools/qzp/command_kit.h"
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
