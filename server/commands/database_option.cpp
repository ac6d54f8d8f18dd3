#include "server/commands/database_option.h"

#include "server/data_directory.h"

namespace vx::server {

CLI::Option* AddDatabaseOption(CLI::App& command, std::string& text) {
  return command.add_option("--db", text,
                            "the store: an SQLite file (default: vxmgmtd.db in the data directory), or a PostgreSQL "
                            "database as postgresql://[USER@]HOST[:PORT]/DATABASE[?PARAMETERS]");
}

StoreLocation StoreLocationOrDefault(const std::string& given) {
  if (!given.empty()) return StoreLocationOf(given);
  StoreLocation location;
  location.file = DefaultDataDirectory() / kDefaultDatabaseName;
  return location;
}

}  // namespace vx::server
