// Saving an INI table (ini_table.h) as a UTF-16 file.
#pragma once

#include <vector>

#include "ini/ini_table.h"

// Writes the table to `path`: the mark FF FE, "# <path>", then each section (an empty line for
// "__default", otherwise an empty line and "[name]") followed by its keys as "name = value", all
// UTF-16 little-endian with CR LF line ends and without quotes. A line that would read back as
// a header or key other than its own (a key "[x", a section whose name the loader would cut, a
// field holding a line feed) is left out (a section with its keys): only entries that are lost
// anyway are missing, none moves or overwrites another. Reports nothing; a file that
// cannot be opened is not written. The old file is replaced only once the new one is complete
// (written beside it as "<path>~" and renamed over it), so a failed save leaves it as it was.
void IniTableWrite(const char16_t* path, IniTable* table);

// The bytes IniTableWrite saves, with `comment` on the comment line instead of the path. Empty
// for a missing table or comment.
std::vector<unsigned char> IniTableBytes(IniTable* table, const char16_t* comment);
