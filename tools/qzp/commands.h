// The qzp subcommands. Each Add*Command registers one subcommand on the CLI11 application; its
// callback stores the process exit status in `status`: 0 success, 1 a bad package or file or a
// failed operation (for diff: the two differ), 2 a usage error. Errors are printed as one line:
// "qzp: FILE: what went wrong".
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <CLI/CLI.hpp>
#include <string>

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
void AddReportCommand(CLI::App& app, int& status);

// What `qzp check FILE --device DIR --json` prints, as a document: the installer's own session
// run over the device image DIR. Returns check's exit status (1 also after a failure line).
int PredictOnImage(const std::string& file, const std::string& device,
                   nlohmann::ordered_json& prediction);
