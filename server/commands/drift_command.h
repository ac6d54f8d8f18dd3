// `vxmgmtd drift [--json]`: the agents that do not hold the parent policy
// assigned to them, with the digest each holds and the one expected.
#pragma once

#include <ostream>

#include "server/store/store.h"

namespace vx::server {

// Lists the agents whose standing (policy_standing.h) is drifted or pending;
// agents that have not reported a digest yet are counted, not listed. Anyone
// who can read the store may look.
[[nodiscard]] int RunDrift(Store& store, bool json, std::ostream& out, std::ostream& err);

}  // namespace vx::server
