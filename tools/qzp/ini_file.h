// Saving INI files from qzp: the same bytes wherever the file lies on the host, written through a
// temporary file that is created exclusively.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ini/ini_round_trip.h"
#include "ini/ini_table.h"

// The text of the saved comment line for the host file `hostPath`. A file at one of the device's
// own places, recognised by the last levels of its path without regard to letter case, is named
// by its device path (`\VORIZ\INDEX.INI`, `\ResidentFlash2\VORIZ\index.ini`,
// `\SDMMC\kvupdate.ini`); any other file by its name alone. Nothing of the host's own folders
// enters the file, so the same contents give the same bytes anywhere.
std::u16string DeviceComment(const std::string& hostPath);

// Saves `table` to the device path `path` (the host file `hostPath`): composes the saved form,
// writes it to a new file beside the target (created exclusively, so never through an existing
// file or link), commits it and renames it over the target. Returns false with a reason naming
// the file concerned and the system's reason; the target is then unchanged.
bool SaveIniFile(const std::string& hostPath, const std::u16string& path, IniTable* table,
                 std::string& error);

// Why `section` / `key` = `value` cannot be stored by qzp, or nothing: a control character (a
// line break, or a text that would look the same in the file as another), or the part that a
// save and a reload would lose (IniEntryLoss: empty, cut, white space at the ends, the marks each
// line form gives a meaning).
std::optional<std::string> IniEntryProblem(const std::u16string& section, const std::u16string& key,
                                           const std::u16string& value);

// Why the INI file at the device path `path` could not be opened: missing, a directory, a path
// the device cannot hold, larger than the device reads, or not UTF-16 with its mark.
std::string IniOpenFailure(const std::u16string& path);
