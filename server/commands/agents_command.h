// `vxmgmtd agents [--json]`, and `agents approve ID` / `agents revoke ID`.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "server/store/store.h"

namespace vx::server {

// One line per agent: id, computer name, address, enrollment, connected,
// last seen, the drive lock bits it last reported, whether its assignment is
// in force, and its report backlog (rows announced and not yet stored).
// Anyone who can read the store may list.
[[nodiscard]] int RunAgentsList(Store& store, bool json, std::ostream& out, std::ostream& err);

// Approves or revokes an agent's enrollment: only an administrator who can
// write the store (the server's own account) may; a store that cannot be
// written refuses (exit 3). An unknown agent, or one already so, is refused
// with exit 1 and nothing changes.
[[nodiscard]] int RunAgentsEnrollment(Store& store, const std::string& agentText, Enrollment enrollment, int64_t now,
                                      std::ostream& out, std::ostream& err);

}  // namespace vx::server
