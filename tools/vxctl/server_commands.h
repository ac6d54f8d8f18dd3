// vxctl server show|set: the management settings in the registry (ServerMode,
// ServerHost, ClientId) and the connection the running service published.
// A change is written to the registry only; the service reads the settings
// at its start, so a restart applies it.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "platform/registry.h"

namespace vx {

// A command that could not be done: vxctl's exit code and the message.
struct ServerCommandFailure {
  int code;
  std::string message;
};

// Prints the three settings and, when the service runs, the connection it
// last published. Reads only: a missing client id is reported, not created.
[[nodiscard]] std::optional<ServerCommandFailure> ServerShow(const Registry& registry, bool serviceRunning, bool json,
                                                             std::ostream& out);

// Points the service at `host` (ServerMode 1), or with `off` turns its
// management client off (ServerMode 0). Exactly one of the two is given.
// Writing the service's settings needs administrator rights:
// `runsAsAdministrator` tells why the registry refused a write.
[[nodiscard]] std::optional<ServerCommandFailure> ServerSet(Registry& registry, const std::optional<std::string>& host,
                                                            bool off, bool runsAsAdministrator, std::ostream& out);

}  // namespace vx
