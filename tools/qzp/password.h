// Where a qzp command gets the password of a secret key: the terminal (typed without echo), or,
// for scripts and CI, a file descriptor (--password-fd N: its first line) or an environment
// variable (--password-env NAME). Never from the command line itself, where other users could
// read it.
#pragma once

#include <string>

namespace CLI {
class App;
}  // namespace CLI

struct PasswordSource {
    int fd = -1;          // --password-fd, -1 when not given
    std::string envName;  // --password-env, empty when not given
};

// Registers --password-fd and --password-env on `command`; `what` ends their help texts.
void AddPasswordOptions(CLI::App& command, PasswordSource& source, const std::string& what);

// Reads the password. `confirm` asks twice on a terminal (a new key). Returns 0, or 1 after one
// "qzp: SUBJECT: reason" line (no terminal, an unset variable, an empty password, a mismatch).
int ReadPassword(const PasswordSource& source, const std::string& subject, bool confirm,
                 std::string& password);
