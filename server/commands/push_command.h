// `vxmgmtd push FILE (--agent ID | --all)`: queues an installer that serve
// sends to each agent once, on its connection (the agent writes it as
// VXUP.exe and starts it).
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "server/store/store.h"

namespace vx::server {

struct PushOptions {
  std::string file;
  std::optional<std::string> agent;  // exactly one of agent and all
  bool all = false;                  // every agent that is not revoked
};

// The file must be a regular file of 1 byte to kMaxUpdateSize; it is read
// whole before anything is queued (exit 2 otherwise, nothing queued). An
// installer runs on the agents with the service's rights, so only an
// administrator who can write the store (the server's own account) may queue
// one: a store that cannot be written refuses with exit 3, nothing queued.
[[nodiscard]] int RunPush(Store& store, const PushOptions& options, int64_t now, std::ostream& out, std::ostream& err);

}  // namespace vx::server
