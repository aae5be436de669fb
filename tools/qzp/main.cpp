// qzp: makes, inspects and unpacks packages, writes manifests and patches, and reads and writes
// UTF-16 INI files.
#include <zlib.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/system.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/output.h"
#include "tools/qzp/windows_console.h"

#ifndef QZP_VERSION
#define QZP_VERSION "unknown"
#endif

namespace {

// The deepest command named on the command line ("pack", "ini set"; the application when none
// is), for the hint after a usage error; an unknown command word is returned in `unknown`.
const CLI::App& CommandNamed(CLI::App& app, int argc, char** argv, std::string& unknown) {
    CLI::App* current = &app;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.empty() || word[0] == '-') {
            continue;
        }
        if (current->get_subcommands({}).empty()) {
            break;  // the words after a leaf command are its arguments
        }
        CLI::App* next = nullptr;
        for (CLI::App* sub : current->get_subcommands({})) {
            if (sub->get_name() == word) {
                next = sub;
            }
        }
        if (next == nullptr) {
            unknown = word;
            break;
        }
        current = next;
    }
    return *current;
}

}  // namespace

// qzp's commands, with UTF-8 arguments.
static int RunCommand(int argc, char** argv) {
    // Paths on qzp's command line are the host's, as the OS resolves them; a command that needs
    // another view of the files (a device image, a folder that must stay free of links) makes its
    // own and binds it while it works there.
    // A test run's fault plan holds for every file system a command makes while this one is bound.
    const std::unique_ptr<platform::FileSystem> files = platform::FileSystem::HostPaths();
    files->PlanFaults(platform::FaultPlanFromEnvironment());
    const platform::UseFiles bound(*files);
    CLI::App app{
        "qzp - make, inspect and unpack update packages; write manifests and patches; "
        "edit UTF-16 INI files"};
    app.require_subcommand(1);
    // Options are the `--` and `-` forms everywhere: on Windows too, `/updates/p.qzp` is a path
    // (from the current drive's root), never an option. Subcommands take this from here.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version",
                         std::string("qzp ") + QZP_VERSION + " (zlib " + zlibVersion() + ")");
    int status = 0;
    AddManifestCommand(app, status);
    AddPackCommand(app, status);
    AddInfoCommand(app, status);
    AddCheckCommand(app, status);
    AddReportCommand(app, status);
    AddKeygenCommand(app, status);
    AddSignCommand(app, status);
    AddListCommand(app, status);
    AddVerifyCommand(app, status);
    AddExtractCommand(app, status);
    AddDiffCommand(app, status);
    AddPatchCommand(app, status);
    AddIniCommand(app, status);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // One line: what is wrong and where to read how the command is used.
        std::string unknown;
        const CLI::App& command = CommandNamed(app, argc, argv, unknown);
        std::string message = e.what();
        if (!unknown.empty()) {
            message = "unknown command '" + unknown + "'";
        } else if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr &&
                   message.find("subcommand") != std::string::npos) {
            message = "a command is required";
        }
        if (message.size() > 1 && message[0] >= 'A' && message[0] <= 'Z' && message[1] >= 'a' &&
            message[1] <= 'z') {
            message[0] = static_cast<char>(message[0] + 32);
        }
        for (char& c : message) {
            if (c == '\n') {
                c = ' ';
            }
        }
        return ReportUsage(command, message);
    }
    return status;
}

// qzp's entry on every host: memory that runs out anywhere ends the command with one line.
static int Main(int argc, char** argv) {
    platform::ReturnLargeBlocksWhenFreed();
    try {
        return RunCommand(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("qzp: out of memory\n", stderr);
        return 1;
    }
}

#ifdef _WIN32
// Windows hands the arguments over as UTF-16 (the ANSI ones would fold what the code page lacks).
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args = Utf8Arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& arg : args) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    const ConsoleText console;
    return Main(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
    return Main(argc, argv);
}
#endif
