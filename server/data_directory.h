// Where vxmgmtd keeps its store when no --db is given: /var/lib/vxmgmtd when
// it runs as root (a system service), else $XDG_DATA_HOME/vxmgmtd, else
// $HOME/.local/share/vxmgmtd (the XDG default), else ./vxmgmtd.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vx::server {

inline constexpr char kDefaultDatabaseName[] = "vxmgmtd.db";

struct DataDirectoryInputs {
  bool root = false;                       // the effective user is root
  std::optional<std::string> xdgDataHome;  // $XDG_DATA_HOME, when set and not empty
  std::optional<std::string> home;         // $HOME, when set and not empty
};

// The rule above over given inputs, for tests.
[[nodiscard]] std::filesystem::path DataDirectoryFor(const DataDirectoryInputs& inputs);

// The rule over this process's user and environment.
[[nodiscard]] std::filesystem::path DefaultDataDirectory();

// Creates `directory` (and its parents) when missing; a directory it creates
// is readable by its owner only (0700), since it holds the store. Gives an
// error text, empty on success.
[[nodiscard]] std::string EnsureDataDirectory(const std::filesystem::path& directory);

}  // namespace vx::server
