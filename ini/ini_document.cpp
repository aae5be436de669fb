#include "ini/ini_document.h"

#include <cstdlib>
#include <cstring>
#include <functional>

#include "ini/ini_load.h"
#include "ini/ini_text.h"
#include "ini/ini_write.h"
#include "platform/text.h"

namespace {

// IniOpen, loading with `load`.
IniDocument* Open(const char16_t* path, const std::function<int32_t(IniTable*)>& load) {
    if (path == nullptr) {
        return nullptr;
    }
    // A path that does not fit the document's field is refused: a cut path would make IniSave
    // write to another file.
    const std::size_t kept = sizeof(IniDocument::path) / sizeof(char16_t) - 1;
    if (platform::U16Length(path) > kept) {
        return nullptr;
    }
    auto* document = static_cast<IniDocument*>(std::malloc(sizeof(IniDocument)));
    if (document == nullptr) {
        return nullptr;
    }
    document->table = IniTableCreate(0);
    std::memset(document->path, 0, sizeof document->path);
    for (std::size_t i = 0; path[i] != 0; ++i) {
        document->path[i] = path[i];
    }
    if (document->table == nullptr) {
        std::free(document);
        return nullptr;
    }
    if (load(document->table) == 0) {
        IniClose(document);
        return nullptr;
    }
    return document;
}

}  // namespace

IniDocument* IniOpen(const char16_t* path) {
    return Open(path, [path](IniTable* table) { return IniTableLoad(path, table); });
}

IniDocument* IniOpenWhole(const char16_t* path) {
    return Open(path, [path](IniTable* table) { return IniTableLoadWhole(path, table); });
}

IniDocument* IniOpenKeys(const char16_t* path, const char16_t* section,
                         std::initializer_list<const char16_t*> keys) {
    IniTable* wanted = IniTableCreate(0);
    for (const char16_t* key : keys) {
        IniTableSetString(wanted, section, key, u"");
    }
    IniDocument* document = IniOpenWanted(path, wanted);
    IniTableFree(wanted);
    return document;
}

IniDocument* IniOpenWanted(const char16_t* path, IniTable* wanted) {
    return Open(
        path, [path, wanted](IniTable* table) { return IniTableLoadWanted(path, wanted, table); });
}

IniDocument* IniOpenBytes(std::span<const uint8_t> bytes, IniTable* wanted) {
    return Open(u"", [bytes, wanted](IniTable* table) {
        return IniTableLoadBytesWanted(bytes, wanted, table);
    });
}

void IniClose(IniDocument* document) {
    if (document == nullptr) {
        return;
    }
    IniTableFree(document->table);
    std::free(document);
}

int32_t IniGetString(IniDocument* document, const char16_t* section, const char16_t* key,
                     char16_t* buffer) {
    if (document == nullptr || buffer == nullptr) {
        return -1;
    }
    const char16_t* value = IniTableGetString(document->table, section, key, buffer);
    if (value == buffer) {
        return -1;
    }
    // A stored value holds at most kIniMaxUnits units, so it fits with its NUL.
    std::size_t i = 0;
    for (; value[i] != 0 && i < static_cast<std::size_t>(kIniMaxUnits); ++i) {
        buffer[i] = value[i];
    }
    buffer[i] = 0;
    return 0;
}

int32_t IniGetInt(IniDocument* document, const char16_t* section, const char16_t* key,
                  int32_t* result) {
    if (result == nullptr) {
        return -1;
    }
    char16_t text[2 * kIniFieldUnits] = {};
    if (IniGetString(document, section, key, text) != 0) {
        return -1;
    }
    *result = IniParseInt(text);
    return 0;
}

int32_t IniSetString(IniDocument* document, const char16_t* section, const char16_t* key,
                     const char16_t* value) {
    if (document == nullptr) {
        return -1;
    }
    IniTableSetString(document->table, section, key, value);
    return 0;
}

int32_t IniSetInt(IniDocument* document, const char16_t* section, const char16_t* key,
                  int32_t value) {
    if (document == nullptr) {
        return -1;
    }
    IniTableSetInt(document->table, section, key, value);
    return 0;
}

void IniSave(IniDocument* document) {
    if (document == nullptr || document->path[0] == 0) {  // opened from bytes: no file
        return;
    }
    IniTableWrite(document->path, document->table);
}

int32_t IniSectionCount(IniDocument* document) {
    return document != nullptr ? IniTableSectionCount(document->table) : 0;
}

const char16_t* IniSectionName(IniDocument* document, int32_t index) {
    return document != nullptr ? IniTableSectionName(document->table, index) : nullptr;
}

int32_t IniKeyCount(IniDocument* document, const char16_t* section) {
    return document != nullptr ? IniTableKeyCount(document->table, section) : 0;
}

const char16_t* IniKeyName(IniDocument* document, const char16_t* section, int32_t index) {
    return document != nullptr ? IniTableKeyName(document->table, section, index) : nullptr;
}
