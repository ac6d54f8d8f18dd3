#include "server/data_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace vx::server {

std::filesystem::path DataDirectoryFor(const DataDirectoryInputs& inputs) {
  if (inputs.root) return "/var/lib/vxmgmtd";
  // XDG says a relative $XDG_DATA_HOME is to be ignored.
  if (inputs.xdgDataHome && !inputs.xdgDataHome->empty() && inputs.xdgDataHome->front() == '/')
    return std::filesystem::path(*inputs.xdgDataHome) / "vxmgmtd";
  if (inputs.home && !inputs.home->empty()) return std::filesystem::path(*inputs.home) / ".local/share/vxmgmtd";
  return "vxmgmtd";
}

namespace {

std::optional<std::string> Environment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

}  // namespace

std::filesystem::path DefaultDataDirectory() {
  return DataDirectoryFor(DataDirectoryInputs{::geteuid() == 0, Environment("XDG_DATA_HOME"), Environment("HOME")});
}

std::string EnsureDataDirectory(const std::filesystem::path& directory) {
  std::error_code error;
  if (std::filesystem::is_directory(directory, error)) return {};
  if (!directory.parent_path().empty()) {
    std::filesystem::create_directories(directory.parent_path(), error);
    if (error) return "cannot create " + directory.parent_path().string() + ": " + error.message();
  }
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
    return "cannot create " + directory.string() + ": " + std::system_category().message(errno);
  return {};
}

}  // namespace vx::server
