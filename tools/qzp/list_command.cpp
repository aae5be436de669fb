#include "tools/qzp/commands.h"

void AddListCommand(CLI::App& app, int& status) {
    app.add_subcommand("list", "(not yet available)")->callback([&status] { status = 2; });
}
