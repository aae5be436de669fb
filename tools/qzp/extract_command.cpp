#include "tools/qzp/commands.h"

void AddExtractCommand(CLI::App& app, int& status) {
    app.add_subcommand("extract", "(not yet available)")->callback([&status] { status = 2; });
}
