#include "server/commands/policy_standing.h"

#include "server/commands/policy_assignment.h"

namespace vx::server {

PolicyStanding JudgePolicy(const AgentRecord& agent, const PolicyAssignment& assignment) {
  PolicyStanding judged;
  judged.held = agent.policy.heldDigest;
  if (assignment.source != PolicySource::None) judged.expected = AssignedDigest(assignment.policy);
  if (!judged.held)
    judged.standing = Standing::NotReported;
  else if (!judged.expected)
    judged.standing = Standing::Unmanaged;
  else if (*judged.held == *judged.expected)
    judged.standing = Standing::InForce;
  else if (agent.policy.sync == PolicySync::Drifted && agent.policy.expectedDigest == judged.expected)
    judged.standing = Standing::Drifted;
  else
    judged.standing = Standing::Pending;
  return judged;
}

const char* StandingName(Standing standing) {
  switch (standing) {
    case Standing::NotReported:
      return "not reported";
    case Standing::Unmanaged:
      return "unmanaged";
    case Standing::InForce:
      return "in force";
    case Standing::Pending:
      return "pending";
    case Standing::Drifted:
      break;
  }
  return "drifted";
}

}  // namespace vx::server
