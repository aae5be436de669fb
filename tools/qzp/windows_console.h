// qzp.exe's text on Windows: arguments arrive as UTF-16 and are handed on as UTF-8; what qzp
// writes (UTF-8 on stdout and stderr) reaches a console as Unicode text (WriteConsoleW) and a
// pipe or file as the UTF-8 bytes themselves.
#pragma once

#ifdef _WIN32

#include <string>
#include <vector>

// The command line's arguments as UTF-8 (an unpaired surrogate becomes U+FFFD).
std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv);

// While it lives, every byte written to stdout or stderr that is a console goes to it through
// WriteConsoleW, decoded as UTF-8, in the order written; a stream that is no console is left
// alone.
class ConsoleText {
  public:
    ConsoleText();
    ~ConsoleText();
    ConsoleText(const ConsoleText&) = delete;
    ConsoleText& operator=(const ConsoleText&) = delete;

  private:
    struct Forward;
    Forward* forward_ = nullptr;
};

#endif
