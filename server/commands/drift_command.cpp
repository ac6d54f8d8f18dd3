#include "server/commands/drift_command.h"

#include <vector>

#include "server/commands/command_support.h"
#include "server/commands/command_time.h"
#include "server/commands/policy_assignment.h"
#include "server/commands/policy_standing.h"
#include "server/commands/text_output.h"

namespace vx::server {

int RunDrift(Store& store, bool json, std::ostream& out, std::ostream& err) {
  StoreResult<std::vector<AgentRecord>> agents = store.ListAgents();
  if (!agents) return RefuseStoreFailure(err, agents, "list the agents");
  struct Differing {
    const AgentRecord* agent;
    PolicyStanding standing;
  };
  std::vector<Differing> differing;
  std::size_t notReported = 0;
  for (const AgentRecord& agent : *agents) {
    StoreResult<PolicyAssignment> assignment = store.AssignedPolicy(agent.id);
    if (!assignment) return RefuseStoreFailure(err, assignment, "read a policy assignment");
    const PolicyStanding standing = JudgePolicy(agent, *assignment);
    if (standing.standing == Standing::Drifted || standing.standing == Standing::Pending)
      differing.push_back({&agent, standing});
    else if (standing.standing == Standing::NotReported)
      ++notReported;
  }

  if (json) {
    out << "[";
    for (std::size_t i = 0; i < differing.size(); ++i) {
      const AgentRecord& agent = *differing[i].agent;
      const PolicyStanding& standing = differing[i].standing;
      out << (i ? ",\n " : "") << "{\"agent\": \"" << AgentIdHex(agent.id)
          << "\", \"computerName\": " << (agent.status ? JsonAgentText(agent.status->computerName) : "null")
          << ", \"standing\": \"" << StandingName(standing.standing) << "\", \"heldDigest\": \""
          << DigestText(*standing.held) << "\", \"expectedDigest\": \"" << DigestText(*standing.expected)
          << "\", \"policySetsSent\": " << agent.policy.tries << ", \"checkedAt\": " << agent.policy.checkedAt
          << ", \"connected\": " << (agent.connected ? "true" : "false") << "}";
    }
    out << "]\n";
    return kExitDone;
  }
  if (differing.empty()) out << "Every agent that reported its digest holds the policy assigned to it.\n";
  for (const Differing& entry : differing) {
    const AgentRecord& agent = *entry.agent;
    out << AgentIdHex(agent.id);
    if (agent.status) out << " (" << ShownAgentText(agent.status->computerName) << ")";
    out << ": " << StandingName(entry.standing.standing) << ", holds " << DigestText(*entry.standing.held)
        << ", expected " << DigestText(*entry.standing.expected) << ", " << agent.policy.tries
        << " policy set(s) sent, reported " << LocalTimeText(agent.policy.checkedAt)
        << (agent.connected ? "" : ", not connected") << "\n";
  }
  if (notReported) out << notReported << " agent(s) have not reported a digest yet.\n";
  return kExitDone;
}

}  // namespace vx::server
