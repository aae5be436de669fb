// Host paths given on qzp's command line, turned into the device paths that the libraries take.
#pragma once

#include <filesystem>
#include <string>

#include "platform/text.h"

// Converts `hostPath` (UTF-8, relative or absolute) into the device path that names it in the
// bound file system (qzp's own: exact host paths with the root "/", bound by main). Returns false,
// with a reason in `error`, when the path cannot be expressed (a name with a backslash, a control
// character).
bool ToDevicePath(const std::string& hostPath, std::u16string& devicePath, std::string& error);

// A host path given as UTF-8, for std::filesystem (which takes a narrow string in the ANSI code
// page on Windows), and back.
std::filesystem::path FsPath(const std::string& utf8);
std::string FsText(const std::filesystem::path& path);

// The reason the last failed file operation failed ("Permission denied"), for error messages;
// "unknown reason" when none was recorded. Every reason qzp prints is worded by the platform
// (platform::LastFileError, platform::ErrorText), so one failure reads the same in every command.
std::string OsReason();

// Why the file `path` named on the command line cannot be read, as every command words it: "no
// such file", "is a directory", "not a file", or "cannot open: " and the system's reason. Empty
// when it opens. With `folder`, a folder is wanted: "no such file" or "not a directory".
std::string ReadProblem(const std::string& path, bool folder = false);

// "cannot open: " and the system's reason when the file at the device path `device` cannot be
// opened for reading; empty when it opens.
std::string OpenProblem(const std::u16string& device);

// Creates the folder `path` and the folders above it that are missing. Returns the system's
// reason when it cannot, empty when the folder stands.
std::string CreateFolders(const std::string& path);

// qzp prints every text from outside (paths, names, versions, comments, reasons) through the
// platform's one escaping; its JSON takes ValidUtf8.
using platform::Printable;
using platform::ValidUtf8;
