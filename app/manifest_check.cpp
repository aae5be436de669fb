// The package manifest check: the package's own version record, read before anything on the
// flash volume changes.
#include <algorithm>
#include <iterator>

#include "app/device_paths.h"
#include "app/update_dlg.h"
#include "app/wide_text.h"
#include "ini/ini_document.h"

using app::kManifestName;
using app::kTextUnits;

void IgnoreProgress(uint32_t, uint32_t, uint32_t, uint32_t, const char16_t*, uint32_t, uint32_t,
                    uint32_t, uint32_t, uint32_t) {}

bool CUpdateDlg::CheckPackageManifest(std::u16string& packageVersion) {
    // 1. The first entry whose name is the manifest's, in any letter case.
    uint32_t index = 0;
    for (; index < m_entryCount; ++index) {
        PackageEntryInfo info{};
        if (PackageGetEntryInfo(m_package, m_entries[index], &info) == 0) {
            return false;
        }
        if (app::EqualsIgnoringCase(info.name, kManifestName, std::size(info.name))) {
            break;
        }
    }
    // 2. No manifest: a full package with an empty version.
    if (index == m_entryCount) {
        return true;
    }
    // 3. Unpack it alone into the root; the package stays open for the decode thread.
    if (PackageExtract(m_package, &m_entries[index], 1, u"\\", IgnoreProgress, 0) == 0) {
        return false;
    }
    // 4. Read the copy.
    char16_t path[kTextUnits] = {};
    path[0] = u'\\';
    app::CopyBounded(path + 1, kTextUnits - 1, kManifestName);
    IniDocument* manifest = IniOpen(path);
    if (manifest == nullptr) {
        return false;
    }
    char16_t value[kTextUnits] = {};
    IniGetString(manifest, u"Config", u"SoftwareVersion", value);
    packageVersion = value;
    IniGetInt(manifest, u"UpdateInfo", u"IsPatch", &m_isPatch);
    std::fill(std::begin(value), std::end(value), u'\0');
    IniGetString(manifest, u"UpdateInfo", u"oldVersion", value);
    m_oldVersion = value;
    IniClose(manifest);
    return true;
}
