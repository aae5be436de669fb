#include "tools/qzp/commands.h"

void AddIniCommand(CLI::App& app, int& status) {
    app.add_subcommand("ini", "(not yet available)")->callback([&status] { status = 2; });
}
