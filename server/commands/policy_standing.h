// Whether an agent holds the parent policy assigned to it now. The agent
// sessions of serve record what each agent last reported; an administrator's
// change can be newer than that, so the standing is judged against the
// assignment as it is in the store at this moment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "server/store/store.h"

namespace vx::server {

enum class Standing {
  NotReported,  // no digest from the agent yet
  Unmanaged,    // no assignment applies (no fleet default, none of its own): serve sends it nothing
  InForce,      // the digest it holds is the one its assignment gives
  Pending,      // it differs and serve is still setting it (or has not seen the change yet)
  Drifted,      // it still differed after serve's policy sets for this very assignment
};

struct PolicyStanding {
  Standing standing = Standing::NotReported;
  std::optional<uint32_t> held;      // the digest the agent last reported
  std::optional<uint32_t> expected;  // the digest its assignment gives (none: unmanaged)
};

[[nodiscard]] PolicyStanding JudgePolicy(const AgentRecord& agent, const PolicyAssignment& assignment);

// "not reported", "unmanaged", "in force", "pending", "drifted".
[[nodiscard]] const char* StandingName(Standing standing);

}  // namespace vx::server
