// qzp: packs, lists, verifies and extracts packages, and reads and writes UTF-16 INI files.
#include <CLI/CLI.hpp>

#include "tools/qzp/commands.h"

int main(int argc, char** argv) {
    CLI::App app{"qzp - make, inspect and unpack update packages; edit UTF-16 INI files"};
    app.require_subcommand(1);
    int status = 0;
    AddPackCommand(app, status);
    AddListCommand(app, status);
    AddVerifyCommand(app, status);
    AddExtractCommand(app, status);
    AddIniCommand(app, status);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;  // --help exits 0; every usage error is status 2
    }
    return status;
}
