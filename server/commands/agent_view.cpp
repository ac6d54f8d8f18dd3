#include "server/commands/agent_view.h"

#include "server/commands/policy_assignment.h"
#include "server/commands/text_output.h"

namespace vx::server {
namespace {

std::string OptionalDigestJson(const std::optional<uint32_t>& digest) {
  return digest ? "\"" + DigestText(*digest) + "\"" : "null";
}

const char* JsonFlag(bool flag) { return flag ? "true" : "false"; }

}  // namespace

StoreResult<std::vector<AgentLine>> ListAgentLines(Store& store) {
  StoreResult<std::vector<AgentRecord>> listed = store.ListAgents();
  if (!listed) return listed.As<std::vector<AgentLine>>();
  std::vector<AgentLine> agents;
  for (AgentRecord& record : *listed) {
    StoreResult<PolicyAssignment> assignment = store.AssignedPolicy(record.id);
    if (!assignment) return assignment.As<std::vector<AgentLine>>();
    const PolicyStanding standing = JudgePolicy(record, *assignment);
    agents.push_back({std::move(record), standing});
  }
  return agents;
}

StoreResult<AgentLine> FindAgentLine(Store& store, const AgentId& agent) {
  StoreResult<AgentRecord> found = store.FindAgent(agent);
  if (!found) return found.As<AgentLine>();
  StoreResult<PolicyAssignment> assignment = store.AssignedPolicy(agent);
  if (!assignment) return assignment.As<AgentLine>();
  const PolicyStanding standing = JudgePolicy(*found, *assignment);
  return AgentLine{std::move(found).value(), standing};
}

int64_t ReportBacklog(const AgentRecord& agent) {
  const int64_t left = static_cast<int64_t>(agent.announcedReportId) - agent.reports.lastId;
  return left > 0 ? left : 0;
}

std::string LockBits(const AgentRecord& agent) {
  if (!agent.status) return "-";
  if (agent.status->lockCdDvd && agent.status->lockFloppy) return "cdrom+floppy";
  if (agent.status->lockCdDvd) return "cdrom";
  if (agent.status->lockFloppy) return "floppy";
  return "none";
}

std::string AgentJson(const AgentLine& agent) {
  const AgentRecord& r = agent.record;
  const PolicyStanding& p = agent.policy;
  std::string json = "{\"agent\": \"" + AgentIdHex(r.id) +
                     "\", \"computerName\": " + (r.status ? JsonAgentText(r.status->computerName) : "null") +
                     ", \"address\": " + JsonBytes(r.address) + ", \"enrollment\": \"" + EnrollmentName(r.enrollment) +
                     "\", \"connected\": " + JsonFlag(r.connected) + ", \"firstSeen\": " + std::to_string(r.firstSeen) +
                     ", \"lastSeen\": " + std::to_string(r.lastSeen) + ", \"locks\": ";
  if (r.status)
    json += std::string("{\"cdrom\": ") + JsonFlag(r.status->lockCdDvd) +
            ", \"floppy\": " + JsonFlag(r.status->lockFloppy) + "}";
  else
    json += "null";
  json += ", \"policy\": {\"standing\": \"" + std::string(StandingName(p.standing)) +
          "\", \"heldDigest\": " + OptionalDigestJson(p.held) +
          ", \"expectedDigest\": " + OptionalDigestJson(p.expected) +
          "}, \"reports\": {\"epoch\": " + std::to_string(r.reports.epoch) +
          ", \"lastId\": " + std::to_string(r.reports.lastId) +
          ", \"announcedId\": " + std::to_string(r.announcedReportId) +
          ", \"backlog\": " + std::to_string(ReportBacklog(r)) + "}}";
  return json;
}

}  // namespace vx::server
