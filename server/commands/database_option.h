// The --db option every vxmgmtd command takes, and where the store is when it
// is not given.
#pragma once

#include <CLI/CLI.hpp>

#include <filesystem>
#include <string>

namespace vx::server {

// Adds `--db PATH` to `command`, storing into `path` (left empty when not
// given; see DatabasePathOrDefault).
CLI::Option* AddDatabaseOption(CLI::App& command, std::string& path);

// `given`, or the default store: vxmgmtd.db in the data directory
// (data_directory.h).
[[nodiscard]] std::filesystem::path DatabasePathOrDefault(const std::string& given);

}  // namespace vx::server
