#include "server/commands/command_support.h"

namespace vx::server {

int Refuse(std::ostream& err, int code, std::string_view message) {
  err << "vxmgmtd: " << message << "\n";
  return code;
}

int ExitCodeOf(StoreFailure failure) {
  switch (failure) {
    case StoreFailure::NotFound:
      return kExitRefused;
    case StoreFailure::InvalidValue:
      return kExitBadArguments;
    case StoreFailure::Unavailable:
      break;
  }
  return kExitStoreFailure;
}

std::string NotAnAgentIdMessage(std::string_view text) {
  std::string shown;
  for (char c : text.substr(0, 64)) shown += (c >= 0x20 && c < 0x7F) ? c : '?';
  return "\"" + shown + "\" is not an agent id: an id is 32 hexadecimal digits, as vxmgmtd agents lists them";
}

std::optional<AgentId> ParseAgentArgument(std::string_view text, std::ostream& err) {
  std::optional<AgentId> agent = ParseAgentId(text);
  // The caller tells the failure by the missing id; the code is always 2.
  if (!agent) (void)Refuse(err, kExitBadArguments, NotAnAgentIdMessage(text));
  return agent;
}

std::string UnknownAgentMessage(const AgentId& agent) {
  return "no agent " + AgentIdHex(agent) + " has said hello to this server (vxmgmtd agents lists the agents)";
}

std::optional<AgentRecord> FindKnownAgent(Store& store, const AgentId& agent, std::ostream& err, int& code) {
  StoreResult<AgentRecord> found = store.FindAgent(agent);
  if (found) return std::move(found).value();
  code = found.failure() == StoreFailure::NotFound ? Refuse(err, kExitRefused, UnknownAgentMessage(agent))
                                                   : RefuseStoreFailure(err, found, "read the agent");
  return std::nullopt;
}

}  // namespace vx::server
