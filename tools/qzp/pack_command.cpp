#include "tools/qzp/commands.h"

void AddPackCommand(CLI::App& app, int& status) {
    app.add_subcommand("pack", "(not yet available)")->callback([&status] { status = 2; });
}
