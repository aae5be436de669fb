// The device's code page on qzp's command line: the option that names it, and the files and names
// read in it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {
class FileSystem;
class UseFiles;
}  // namespace platform

namespace CLI {
class App;
}  // namespace CLI

// `--codepage CP` on a command that writes or reads stored names: the Windows code page of the
// device the package is for (1252, 936, 65001, ...), default 65001 (UTF-8).
void AddCodePageOption(CLI::App* command, uint32_t& codePage);

// qzp's own view of the files (exact host paths) with names in `codePage`, bound to the thread
// while the object lives. A command that takes --codepage runs inside one.
class CodePageFiles {
  public:
    explicit CodePageFiles(uint32_t codePage);
    ~CodePageFiles();
    CodePageFiles(const CodePageFiles&) = delete;
    CodePageFiles& operator=(const CodePageFiles&) = delete;

  private:
    std::unique_ptr<platform::FileSystem> files_;
    std::unique_ptr<platform::UseFiles> bound_;
};

// A stored name as text (UTF-8) to print, read in the bound code page; the stored bytes when they
// are no text of that code page (printing escapes them).
std::string ShownName(const std::string& stored);
