// The qzp subcommands. Each Add*Command registers one subcommand on the CLI11 application; its
// callback stores the process exit status in `status`: 0 success, 1 a bad package or file or a
// failed operation (for diff: the two differ), 2 a usage error. Errors are printed as one line:
// "qzp: FILE: what went wrong".
#pragma once

#include <CLI/CLI.hpp>

void AddPackCommand(CLI::App& app, int& status);
void AddListCommand(CLI::App& app, int& status);
void AddVerifyCommand(CLI::App& app, int& status);
void AddExtractCommand(CLI::App& app, int& status);
void AddIniCommand(CLI::App& app, int& status);
void AddManifestCommand(CLI::App& app, int& status);
void AddInfoCommand(CLI::App& app, int& status);
void AddDiffCommand(CLI::App& app, int& status);
void AddPatchCommand(CLI::App& app, int& status);
void AddCheckCommand(CLI::App& app, int& status);
void AddKeygenCommand(CLI::App& app, int& status);
void AddSignCommand(CLI::App& app, int& status);
