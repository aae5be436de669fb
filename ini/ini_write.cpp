// The writer: the saved form of a table, composed in memory and written with one WriteStream.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "ini/ini_write.h"

#include "ini/ini_load.h"
#include "ini/ini_text.h"
#include "platform/file.h"
#include "platform/replace.h"

namespace {

class Output {
  public:
    void Put(std::u16string_view text) {
        for (char16_t c : text) {
            bytes_.push_back(static_cast<unsigned char>(c & 0xFF));
            bytes_.push_back(static_cast<unsigned char>(c >> 8));
        }
    }
    void Put(const char16_t* text) { Put(std::u16string_view(text)); }
    const std::vector<unsigned char>& Bytes() const { return bytes_; }

  private:
    std::vector<unsigned char> bytes_;
};

// A line break inside a field would split its line in two.
bool OneLine(std::u16string_view line) {
    return line.find(u'\n') == std::u16string_view::npos;
}

bool ReadsAsHeader(std::u16string_view line, std::u16string_view name) {
    const ini_detail::LineReading reading = ini_detail::ReadLineAs(line);
    return OneLine(line) && reading.kind == ini_detail::LineReading::kHeader &&
           reading.name == name;
}

// A key line that reads back as nothing loses only its own entry; one that reads as a header or
// as another key would change the entries after it or beside it.
bool KeepsOtherEntries(std::u16string_view line, std::u16string_view name) {
    const ini_detail::LineReading reading = ini_detail::ReadLineAs(line);
    return OneLine(line) && reading.kind != ini_detail::LineReading::kHeader &&
           (reading.kind != ini_detail::LineReading::kKey || reading.name == name);
}

}  // namespace

std::vector<unsigned char> IniTableBytes(IniTable* table, const char16_t* comment) {
    if (table == nullptr || comment == nullptr) {
        return {};
    }
    Output out;
    out.Put(u"\xFEFF");
    out.Put(u"# ");
    out.Put(comment);
    out.Put(u"\r\n");
    // Sections in the slot order of their entries, each followed by its keys in slot order. A line
    // that would read back as a header other than its own, or as a key other than its own, is
    // left out: its entry cannot come back in any case, and the line would move the keys after
    // it into another section or overwrite another key ("[x = 1", from the key "[x" or from a
    // section named "A#[x" saved under [A], opens a section "x = 1").
    for (int32_t i = 0; i < table->capacity; ++i) {
        const IniEntry& section = table->entries[i];
        if (section.key[0] == 0 || !ini_detail::IsSectionKey(section.key)) {
            continue;
        }
        std::u16string prefix(section.key);
        if (prefix == kIniDefaultSection) {
            out.Put(u"\r\n");
        } else {
            const std::u16string header = u"[" + prefix + u"]";
            if (!ReadsAsHeader(header, prefix)) {
                continue;
            }
            out.Put(u"\r\n");
            out.Put(header);
            out.Put(u"\r\n");
        }
        prefix.push_back(u'#');
        for (int32_t k = 0; k < table->capacity; ++k) {
            const IniEntry& entry = table->entries[k];
            if (entry.key[0] == 0 || !std::u16string_view(entry.key).starts_with(prefix)) {
                continue;
            }
            const std::u16string_view name(entry.key + prefix.size());
            const std::u16string line = std::u16string(name) + u" = " + entry.value;
            if (KeepsOtherEntries(line, name)) {
                out.Put(line);
                out.Put(u"\r\n");
            }
        }
    }
    return out.Bytes();
}

void IniTableWrite(const char16_t* path, IniTable* table) {
    if (table == nullptr || path == nullptr) {
        return;
    }
    const std::vector<unsigned char> bytes = IniTableBytes(table, path);
    // The file is replaced only by a complete copy, so a save that fails (a full volume) leaves
    // the old file as it was.
    platform::ReplaceFileWith(path, platform::ScratchRule::OnDevice(), bytes.data(), bytes.size());
}
