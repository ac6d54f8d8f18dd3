// The administration commands of vxmgmtd (agents, reports, policy, drift,
// push, ...), added to the program's command line in one call. Each command
// opens the store itself (database_option.h gives every command the same
// --db as serve) and works only through the store seam (server/store/store.h).
#pragma once

#include <CLI/CLI.hpp>

namespace vx::server {

// Adds every administration subcommand to `app`. A command that fails ends
// the program through CLI11 (throw CLI::RuntimeError with the exit code).
void AddAdministrationCommands(CLI::App& app);

}  // namespace vx::server
