// `vxmgmtd policy show [--agent ID]` and `vxmgmtd policy set (--agent ID |
// --all) [--rule "WORDS"]... [--cdrom locked|unlocked] [--floppy
// locked|unlocked] [--lock ITEM on|off]... [--password TEXT]`.
//
// The fleet default applies to every agent without an assignment of its own.
// Before an administrator sets one it reads as the product's default parent
// policy (policy_assignment.h), so a first `policy set` starts from what an
// agent starting fresh holds; serve leaves agents alone until an assignment
// exists.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "server/commands/policy_assignment.h"
#include "server/store/store.h"

namespace vx::server {

// The fleet default, or the assignment that applies to one agent (its own or
// the fleet default) with the digest it holds and whether it drifted. Anyone
// who can read the store may look.
[[nodiscard]] int RunPolicyShow(Store& store, const std::optional<std::string>& agent, bool json, std::ostream& out,
                                std::ostream& err);

struct PolicySetOptions {
  std::optional<std::string> agent;  // exactly one of agent and all
  bool all = false;                  // the fleet default
  bool followFleet = false;          // with agent: drop its own assignment
  PolicyEditArguments edit;
};

// Changes the fleet default (--all) or one agent's own assignment, starting
// from what it has now (an agent without one starts from the fleet default)
// and changing only what the options name; --rule given at least once
// replaces the whole rule list. With --fleet the agent's own assignment is
// removed and it follows the fleet default again. Nothing is written when any
// option is refused (exit 2), when the agent is unknown or the result is what
// is assigned already (exit 1). Only an administrator who can write the store
// (the server's own account) may change the policy: a store that cannot be
// written refuses with exit 3, nothing changed.
[[nodiscard]] int RunPolicySet(Store& store, const PolicySetOptions& options, int64_t now, std::ostream& out,
                               std::ostream& err);

// What a policy set did, for the command to print and the HTTP API to answer.
struct PolicySetOutcome {
  int code = 0;                                    // an exit code of command_support.h
  std::string message;                             // the refusal, when code is not 0
  std::optional<management::ParentPolicy> policy;  // the assignment now in place, when set
  bool followsFleet = false;                       // the agent's own assignment was removed
};

// The change RunPolicySet makes, with the same refusals, writing nothing to
// a stream.
[[nodiscard]] PolicySetOutcome ApplyPolicySet(Store& store, const PolicySetOptions& options, int64_t now);

}  // namespace vx::server
