#include "server/commands/agents_command.h"

#include <vector>

#include "server/commands/agent_view.h"
#include "server/commands/command_support.h"
#include "server/commands/command_time.h"
#include "server/commands/policy_assignment.h"
#include "server/commands/policy_standing.h"
#include "server/commands/text_output.h"

namespace vx::server {
namespace {

void WriteTable(const std::vector<AgentLine>& agents, std::ostream& out) {
  std::vector<std::vector<std::string>> cells = {
      {"AGENT", "COMPUTER", "ADDRESS", "ENROLLMENT", "CONNECTED", "LAST SEEN", "LOCKS", "POLICY", "BACKLOG"}};
  for (const AgentLine& agent : agents) {
    const AgentRecord& r = agent.record;
    cells.push_back({AgentIdHex(r.id), r.status ? ShownAgentText(r.status->computerName) : "-", r.address,
                     EnrollmentName(r.enrollment), r.connected ? "yes" : "no", LocalTimeText(r.lastSeen), LockBits(r),
                     StandingName(agent.policy.standing), std::to_string(ReportBacklog(r))});
  }
  WriteColumns(cells, out);
}

void WriteJson(const std::vector<AgentLine>& agents, std::ostream& out) {
  out << "[";
  for (std::size_t i = 0; i < agents.size(); ++i) out << (i ? ",\n " : "") << AgentJson(agents[i]);
  out << "]\n";
}

}  // namespace

int RunAgentsList(Store& store, bool json, std::ostream& out, std::ostream& err) {
  StoreResult<std::vector<AgentLine>> agents = ListAgentLines(store);
  if (!agents) return RefuseStoreFailure(err, agents, "list the agents");
  if (json) {
    WriteJson(*agents, out);
  } else if (agents->empty()) {
    out << "No agent has said hello to this server yet.\n";
  } else {
    WriteTable(*agents, out);
  }
  return kExitDone;
}

int RunAgentsEnrollment(Store& store, const std::string& agentText, Enrollment enrollment, int64_t now,
                        std::ostream& out, std::ostream& err) {
  const std::optional<AgentId> agent = ParseAgentArgument(agentText, err);
  if (!agent) return kExitBadArguments;
  int code = kExitDone;
  const std::optional<AgentRecord> record = FindKnownAgent(store, *agent, err, code);
  if (!record) return code;
  const std::string id = AgentIdHex(*agent);
  if (record->enrollment == enrollment)
    return Refuse(err, kExitRefused, "agent " + id + " is " + EnrollmentName(enrollment) + " already; nothing to do");
  StoreResult<Done> changed = store.SetEnrollment(*agent, enrollment, now);
  if (!changed)
    return changed.failure() == StoreFailure::NotFound ? Refuse(err, kExitRefused, UnknownAgentMessage(*agent))
                                                       : RefuseStoreFailure(err, changed, "change the enrollment");
  if (enrollment == Enrollment::Approved)
    out << "Agent " << id << " is approved: a running serve accepts it at its next connection.\n";
  else
    out << "Agent " << id << " is revoked: a running serve ends its session within a few seconds and refuses it "
        << "from now on.\n";
  return kExitDone;
}

}  // namespace vx::server
