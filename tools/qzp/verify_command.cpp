#include "tools/qzp/commands.h"

void AddVerifyCommand(CLI::App& app, int& status) {
    app.add_subcommand("verify", "(not yet available)")->callback([&status] { status = 2; });
}
