// The host files a command names and writes: the check of every path argument, of the file a
// command will write, and the writing of a text file.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class Validator;
}  // namespace CLI

// The check on every argument that names a host file or directory: a path qzp cannot turn into
// a device path (a control character, a backslash in a name) is a usage error, "ARG: reason",
// before the command runs. Use as `option->check(HostPathCheck())`.
const CLI::Validator& HostPathCheck();

// Checks, before anything is compressed, that the file `output` can be written and that
// it neither is nor lies inside one of `inputs` (host paths of files or directories), comparing
// by file identity rather than spelling. Returns 0, or 1 after printing the problem.
int CheckOutput(const std::string& output, const std::vector<std::string>& inputs);

// Writes `text` to the host file `path` through a new file beside it, committed and renamed over
// it. `ownerOnly` makes the file readable and writable by its owner alone (POSIX mode 0600) before
// anything is written to it. Returns 0, or 1 after one ReportFailure line.
int WriteTextFile(const std::string& path, const std::string& text, bool ownerOnly);
