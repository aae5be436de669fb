// The directory walk behind `qzp pack`. Listing a directory is a host service the platform layer
// does not offer, so the walk uses std::filesystem on the host path of the device directory.
#include "package/pack_tree.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/file.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;

std::string PathText(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

class TreeWalk {
  public:
    explicit TreeWalk(PackTreeResult& result) : result_(result) {}

    // `prefix` is the stored name of `directory` (narrow, in the bound code page), `source` its
    // device path.
    int32_t Walk(const fs::path& directory, const std::string& prefix,
                 const std::u16string& source) {
        std::vector<std::pair<std::string, fs::directory_entry>> children;
        std::error_code code;
        for (fs::directory_iterator it(directory, code), end; !code && it != end;
             it.increment(code)) {
            children.emplace_back(PathText(it->path().filename()), *it);
        }
        if (code) {
            return Fail(directory, "cannot list the directory: " + platform::ErrorText(code));
        }
        // std::string compares its bytes as unsigned char, which is the order we want.
        std::sort(children.begin(), children.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [name, entry] : children) {
            if (name.find('\\') != std::string::npos) {
                return Fail(entry.path(), "a name with a backslash cannot be stored");
            }
            if (!platform::IsUtf8(name)) {
                return Fail(entry.path(), "the name is not UTF-8 text");
            }
            const std::u16string wide = platform::Utf8ToUtf16(name);
            std::string narrow;
            std::u16string refused;
            if (!platform::ToCodePage(wide, narrow, &refused)) {
                const std::string character = platform::Utf16ToUtf8(refused);
                char32_t codePoint = 0;
                platform::Utf8Sequence(character, 0, codePoint);
                char hex[16];
                std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(codePoint));
                return Fail(entry.path(), "code page " +
                                              std::to_string(platform::BoundFiles()->CodePage()) +
                                              " cannot hold the character '" + character + "' (" +
                                              hex + ") of this name exactly");
            }
            const std::string stored = prefix + narrow;
            const std::u16string path = source + u"\\" + wide;
            const fs::file_status link = entry.symlink_status(code);
            const fs::file_status status = entry.status(code);
            if (code) {
                return Fail(entry.path(), "cannot read: " + platform::ErrorText(code));
            }
            if (fs::is_directory(status)) {
                if (fs::is_symlink(link)) {
                    return Fail(entry.path(), "a symbolic link to a directory is not followed");
                }
                result_.items.push_back({stored + "\\", {}});
                if (Walk(entry.path(), stored + "\\", path) != 0) {
                    return -1;
                }
            } else if (fs::is_regular_file(status)) {
                const uintmax_t size = entry.file_size(code);
                if (code) {
                    return Fail(entry.path(), "cannot read: " + platform::ErrorText(code));
                }
                if (size == 0) {
                    return Fail(entry.path(),
                                "empty file: it would unpack as a directory; an empty file "
                                "cannot be stored");
                }
                result_.fileBytes += size;
                result_.items.push_back({stored, path});
            } else {
                return Fail(entry.path(), "not a file or directory");
            }
        }
        return 0;
    }

  private:
    int32_t Fail(const fs::path& path, std::string message) {
        result_.errorPath = PathText(path);
        result_.error = std::move(message);
        return -1;
    }

    PackTreeResult& result_;
};

}  // namespace

int32_t CollectPackTree(const std::u16string& root, PackTreeResult& result) {
    result = PackTreeResult{};
    std::u16string device = root;
    while (!device.empty() && (device.back() == u'\\' || device.back() == u'/')) {
        device.pop_back();
    }
    const std::string host = platform::DevicePathToHost(root.c_str());
    const fs::path path(std::u8string(host.begin(), host.end()));
    std::error_code code;
    if (!fs::is_directory(path, code)) {
        result.errorPath = host;
        result.error = "not a directory";
        return -1;
    }
    TreeWalk walk(result);
    return walk.Walk(path, "", device);
}
