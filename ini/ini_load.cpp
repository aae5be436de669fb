// The loader: UTF-16 little-endian text with the mark FF FE, read line by line into a table, and
// the check that an entry survives a save and a reload, made by doing both.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>
#include <vector>

#include "ini/ini_load.h"
#include "ini/ini_text.h"
#include "platform/file.h"

using ini_detail::Trim;

namespace {

// Reads 16-bit little-endian units from bytes in memory. A last odd byte is not a unit and is
// ignored.
class UnitReader {
  public:
    explicit UnitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    // The next unit, or -1 at the end.
    int32_t Next() {
        if (bytes_.size() - pos_ < 2) {
            return -1;
        }
        const int32_t unit = bytes_[pos_] | (bytes_[pos_ + 1] << 8);
        pos_ += 2;
        return unit;
    }

  private:
    std::span<const uint8_t> bytes_;
    std::size_t pos_ = 0;
};

// Reads one line: the units up to and including the first LF, at most kIniMaxLineUnits. Returns
// the number of units read (0 at the end).
std::size_t ReadLine(UnitReader& reader, char16_t (&line)[kIniMaxLineUnits]) {
    std::size_t n = 0;
    while (n < static_cast<std::size_t>(kIniMaxLineUnits)) {
        const int32_t unit = reader.Next();
        if (unit < 0) {
            break;
        }
        line[n++] = static_cast<char16_t>(unit);
        if (unit == u'\n') {
            break;
        }
    }
    return n;
}

// The value of a key line after "=" and white space, trying the quoted forms first. Each form
// must give at least one unit; false when none does.
bool ExtractValue(std::u16string_view rest, std::u16string_view& value) {
    for (char16_t quote : {u'"', u'\''}) {
        if (!rest.empty() && rest.front() == quote) {
            const std::u16string_view inside = rest.substr(1);
            const std::size_t close = inside.find(quote);
            const std::u16string_view run = inside.substr(0, close);
            if (!run.empty()) {
                value = run;
                return true;
            }
        }
    }
    const std::size_t end = rest.find_first_of(u";#");
    value = rest.substr(0, end);
    return !value.empty();
}

}  // namespace

namespace ini_detail {

LineReading ReadLineAs(std::u16string_view line) {
    // Text after a NUL unit is not part of the line's string.
    line = line.substr(0, line.find(u'\0'));
    while (!line.empty() && (line.back() == u'\r' || line.back() == u'\n')) {
        line.remove_suffix(1);
    }
    line = Trim(line);
    if (line.empty() || line.front() == u';' || line.front() == u'#') {
        return {};
    }
    if (line.size() >= 2 && line[0] == u'[' && line[1] != u']') {
        const std::u16string_view inside = line.substr(1);
        return {LineReading::kHeader, Trim(inside.substr(0, inside.find(u']'))), {}};
    }
    const std::size_t eq = line.find(u'=');
    if (eq == 0 || eq == std::u16string_view::npos) {
        return {};
    }
    std::u16string_view rest = line.substr(eq + 1);
    while (!rest.empty() && ini_detail::IsSpace(rest.front())) {
        rest.remove_prefix(1);
    }
    std::u16string_view value;
    if (!ExtractValue(rest, value)) {
        return {};
    }
    value = Trim(value);
    if (value == u"\"\"" || value == u"''") {
        value = {};
    }
    return {LineReading::kKey, Trim(line.substr(0, eq)), value};
}

}  // namespace ini_detail

namespace {

class Loader {
  public:
    // With `wanted`, only what it holds is stored.
    Loader(IniTable* table, IniTable* wanted) : table_(table), wanted_(wanted) {
        SetSection(kIniDefaultSection);
    }

    void Line(std::u16string_view line) {
        const ini_detail::LineReading reading = ini_detail::ReadLineAs(line);
        if (reading.kind == ini_detail::LineReading::kHeader) {
            SetSection(reading.name);
        } else if (reading.kind == ini_detail::LineReading::kKey) {
            KeyLine(reading.name, reading.value);
        }
    }

  private:
    // A header of white space alone opens the section named "": its keys are stored as "#key"
    // (found under the name ""), but it has no section entry, whose empty key would read as a free
    // slot. Nothing saves such keys, so IniTableFirstLoss reports them.
    void SetSection(std::u16string_view name) {
        ini_detail::CopyField(section_, name);
        if (!name.empty() &&
            (wanted_ == nullptr || IniTableGetString(wanted_, section_, nullptr, nullptr))) {
            IniTableSetString(table_, section_, nullptr, nullptr);
        }
    }

    void KeyLine(std::u16string_view key, std::u16string_view value) {
        // Both fit: the line is at most kIniMaxLineUnits units.
        char16_t keyText[kIniMaxLineUnits + 1];
        char16_t valueText[kIniMaxLineUnits + 1];
        Terminate(key, keyText);
        Terminate(value, valueText);
        if (wanted_ != nullptr &&
            (section_[0] == 0 || !IniTableGetString(wanted_, section_, keyText, nullptr))) {
            return;
        }
        if (section_[0] != 0) {
            IniTableSetString(table_, section_, keyText, valueText);
            return;
        }
        char16_t composed[kIniFieldUnits];
        if (ini_detail::ComposeKey({}, keyText, composed)) {
            IniTableSet(table_, composed, valueText);
        }
    }

    static void Terminate(std::u16string_view text, char16_t (&out)[kIniMaxLineUnits + 1]) {
        const std::size_t n = text.size() < static_cast<std::size_t>(kIniMaxLineUnits)
                                  ? text.size()
                                  : static_cast<std::size_t>(kIniMaxLineUnits);
        text.copy(out, n);
        out[n] = 0;
    }

    IniTable* table_;
    IniTable* wanted_;
    char16_t section_[kIniFieldUnits] = {};
};

// How many entries a load of UTF-16LE `bytes` will add, to size the table once: the lines that
// hold '[' or '=' (a header, a key line). A line longer than one read may add more; the table
// then grows as it fills.
int32_t EntryLines(std::span<const uint8_t> bytes) {
    std::size_t lines = 0;
    bool marked = false;  // the line so far holds '[' or '='
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        if (bytes[i + 1] == 0) {
            marked = marked || bytes[i] == '[' || bytes[i] == '=';
            if (bytes[i] == '\n') {
                lines += marked ? 1 : 0;
                marked = false;
            }
        }
    }
    lines += marked ? 1 : 0;
    return static_cast<int32_t>(std::min<std::size_t>(lines, static_cast<std::size_t>(INT32_MAX)));
}

int32_t LoadBytes(std::span<const uint8_t> bytes, IniTable* table, IniTable* wanted) {
    if (table == nullptr) {
        return 0;
    }
    UnitReader reader(bytes);
    if (reader.Next() != 0xFEFF) {
        return 0;
    }
    if (wanted == nullptr) {
        IniTableReserve(table, EntryLines(bytes));
    }
    Loader loader(table, wanted);
    char16_t line[kIniMaxLineUnits];
    for (std::size_t n = ReadLine(reader, line); n > 0; n = ReadLine(reader, line)) {
        loader.Line(std::u16string_view(line, n));
    }
    return 1;
}

int32_t LoadFile(const char16_t* path, std::size_t maxBytes, IniTable* table, IniTable* wanted) {
    if (table == nullptr || path == nullptr) {
        return 0;
    }
    std::FILE* stream = platform::OpenStream(path, u"rb");
    if (stream == nullptr) {
        return 0;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[16384];
    std::size_t got = 0;
    // One byte beyond the limit tells a file that is too large; nothing further is read.
    while (bytes.size() <= maxBytes &&
           (got = std::fread(chunk, 1, std::min(sizeof chunk, maxBytes + 1 - bytes.size()),
                             stream)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    const bool failed = std::ferror(stream) != 0 || bytes.size() > maxBytes;
    std::fclose(stream);
    // A file that cannot be read to its end, or is too large to be a settings file, adds nothing.
    return failed ? 0 : LoadBytes(bytes, table, wanted);
}

}  // namespace

int32_t IniTableLoadBytes(std::span<const uint8_t> bytes, IniTable* table) {
    return LoadBytes(bytes, table, nullptr);
}

int32_t IniTableLoadBytesWanted(std::span<const uint8_t> bytes, IniTable* wanted, IniTable* table) {
    return wanted == nullptr ? 0 : LoadBytes(bytes, table, wanted);
}

int32_t IniTableLoad(const char16_t* path, IniTable* table) {
    return LoadFile(path, kIniMaxFileBytes, table, nullptr);
}

int32_t IniTableLoadWhole(const char16_t* path, IniTable* table) {
    return LoadFile(path, kIniMaxWantedFileBytes, table, nullptr);
}

int32_t IniTableLoadWanted(const char16_t* path, IniTable* wanted, IniTable* table) {
    return wanted == nullptr ? 0 : LoadFile(path, kIniMaxWantedFileBytes, table, wanted);
}
