// The administration commands of vxmgmtd (agents, reports, policy, drift,
// push, ...), added to the program's command line in one call. Each command
// opens the store itself (database_option.h gives every command the same
// --db as serve) and works only through the store seam (server/store/store.h).
//
// They work while serve runs: the store is one SQLite file in WAL mode, the
// reading commands open it read-only, and every change they make advances the
// store's change counter, which serve reads every second to bring the
// connected agents in line.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <ostream>

namespace vx::server {

// Where the commands write and what time it is.
struct AdministrationEnvironment {
  std::ostream& out;
  std::ostream& err;
  std::function<int64_t()> now;  // seconds since 1970
};

// Adds every administration subcommand to `app`, writing to standard output
// and standard error. A command that fails ends the program through CLI11
// (throw CLI::RuntimeError with the exit code, after its message).
void AddAdministrationCommands(CLI::App& app);

// The same over another environment (tests).
void AddAdministrationCommands(CLI::App& app, const AdministrationEnvironment& environment);

// The exit code of a CLI11 error from parsing a command line that holds an
// administration command: the command's own code for a RuntimeError, 0 for a
// call for help, 2 for every error in the arguments (nothing was written).
// Call app.exit(error) first for its message.
[[nodiscard]] int AdministrationExitCode(const CLI::Error& error);

}  // namespace vx::server
