// `vxmgmtd push FILE (--agent ID | --all)`: queues an installer that serve
// sends to each agent once, on its connection (the agent writes it as
// VXUP.exe and starts it).
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

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

// What queueing an installer did, for the command to print and the HTTP API
// to answer.
struct PushOutcome {
  int code = 0;         // an exit code of command_support.h
  std::string message;  // the refusal, when code is not 0
  std::vector<AgentId> agents;
  std::vector<int64_t> updateIds;  // one per agent, in the same order
};

// Queues `content` (1 byte to kMaxUpdateSize) under `name` for one agent
// (refused when unknown or revoked) or, with `all`, every agent that is not
// revoked; exactly one of the two. Nothing is queued when it is refused.
[[nodiscard]] PushOutcome QueueInstaller(Store& store, const std::optional<std::string>& agent, bool all,
                                         const std::string& name, std::span<const uint8_t> content, int64_t now);

}  // namespace vx::server
