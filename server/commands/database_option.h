// The --db option every vxmgmtd command takes, and where the store is when it
// is not given.
#pragma once

#include <CLI/CLI.hpp>

#include <filesystem>
#include <string>

#include "server/store/store_location.h"

namespace vx::server {

// Adds `--db PATH|URL` to `command`, storing into `text` (left empty when not
// given; see StoreLocationOrDefault).
CLI::Option* AddDatabaseOption(CLI::App& command, std::string& text);

// The store `given` names (an SQLite file, or a PostgreSQL database by its
// postgresql:// URL), or the default: vxmgmtd.db in the data directory
// (data_directory.h).
[[nodiscard]] StoreLocation StoreLocationOrDefault(const std::string& given);

}  // namespace vx::server
