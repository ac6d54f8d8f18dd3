#include "server/commands/database_option.h"

#include "server/data_directory.h"

namespace vx::server {

CLI::Option* AddDatabaseOption(CLI::App& command, std::string& path) {
  return command.add_option("--db", path, "the store: an SQLite file (default: vxmgmtd.db in the data directory)");
}

std::filesystem::path DatabasePathOrDefault(const std::string& given) {
  if (!given.empty()) return given;
  return DefaultDataDirectory() / kDefaultDatabaseName;
}

}  // namespace vx::server
