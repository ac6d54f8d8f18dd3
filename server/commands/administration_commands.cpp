#include "server/commands/administration_commands.h"

namespace vx::server {

// No administration command yet: serve is the program's only command.
void AddAdministrationCommands(CLI::App&) {}

}  // namespace vx::server
