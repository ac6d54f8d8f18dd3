// An agent as the administration commands and the HTTP API show it: its
// record with its policy standing judged against the assignment as it is in
// the store now, its drive lock bits and its report backlog, and the one JSON
// object both write for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/commands/policy_standing.h"
#include "server/store/store.h"

namespace vx::server {

struct AgentLine {
  AgentRecord record;
  PolicyStanding policy;
};

// Every agent, ordered by id, each with its standing.
[[nodiscard]] StoreResult<std::vector<AgentLine>> ListAgentLines(Store& store);

// One agent with its standing (NotFound when it never said hello).
[[nodiscard]] StoreResult<AgentLine> FindAgentLine(Store& store, const AgentId& agent);

// Rows announced by the agent's last notice and not stored yet.
[[nodiscard]] int64_t ReportBacklog(const AgentRecord& agent);

// "cdrom+floppy", "cdrom", "floppy", "none", or "-" before a status arrived.
[[nodiscard]] std::string LockBits(const AgentRecord& agent);

// {"agent", "computerName", "address", "enrollment", "connected",
//  "firstSeen", "lastSeen", "locks": {"cdrom", "floppy"} | null,
//  "policy": {"standing", "heldDigest", "expectedDigest"},
//  "reports": {"epoch", "lastId", "announcedId", "backlog"}}
[[nodiscard]] std::string AgentJson(const AgentLine& agent);

}  // namespace vx::server
