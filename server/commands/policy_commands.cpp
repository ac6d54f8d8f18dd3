#include "server/commands/policy_commands.h"

#include <vector>

#include "server/commands/command_support.h"
#include "server/commands/command_time.h"
#include "server/commands/policy_standing.h"
#include "server/commands/policy_view.h"
#include "server/commands/text_output.h"

namespace vx::server {
namespace {

using management::ParentPolicy;

// How many agents have an assignment of their own (they do not follow the
// fleet default).
StoreResult<std::size_t> CountOwnAssignments(Store& store) {
  StoreResult<std::vector<AgentRecord>> agents = store.ListAgents();
  if (!agents) return agents.As<std::size_t>();
  std::size_t count = 0;
  for (const AgentRecord& agent : *agents) {
    StoreResult<std::optional<ParentPolicy>> own = store.GetAgentPolicy(agent.id);
    if (!own) return own.As<std::size_t>();
    if (own->has_value()) ++count;
  }
  return count;
}

std::string OptionalDigestJson(const std::optional<uint32_t>& digest) {
  return digest ? "\"" + DigestText(*digest) + "\"" : "null";
}

const char* SourceName(PolicySource source) {
  switch (source) {
    case PolicySource::Agent:
      return "agent";
    case PolicySource::Fleet:
      return "fleet";
    case PolicySource::None:
      break;
  }
  return "none";
}

int ShowFleet(Store& store, bool json, std::ostream& out, std::ostream& err) {
  StoreResult<std::optional<ParentPolicy>> fleet = store.GetFleetPolicy();
  if (!fleet) return RefuseStoreFailure(err, fleet, "read the fleet default");
  StoreResult<std::size_t> own = CountOwnAssignments(store);
  if (!own) return RefuseStoreFailure(err, own, "read the agents' assignments");
  const ParentPolicy policy = fleet->value_or(ProductDefaultParentPolicy());
  if (json) {
    out << "{\"scope\": \"fleet\", \"set\": " << (fleet->has_value() ? "true" : "false")
        << ", \"policy\": " << ParentPolicyJson(policy) << ", \"agentsWithOwnAssignment\": " << *own << "}\n";
    return kExitDone;
  }
  if (fleet->has_value())
    out << "Fleet default, for every agent without an assignment of its own:\n";
  else
    out << "Fleet default: not set. Until it is, serve sends agents nothing, and a first policy set starts from the "
           "product's default, which an agent starting fresh holds:\n";
  WriteParentPolicy(out, policy, "  ");
  if (*own) out << *own << " agent(s) have an assignment of their own (vxmgmtd policy show --agent ID).\n";
  return kExitDone;
}

int ShowAgent(Store& store, const std::string& agentText, bool json, std::ostream& out, std::ostream& err) {
  const std::optional<AgentId> agent = ParseAgentArgument(agentText, err);
  if (!agent) return kExitBadArguments;
  int code = kExitDone;
  const std::optional<AgentRecord> record = FindKnownAgent(store, *agent, err, code);
  if (!record) return code;
  StoreResult<PolicyAssignment> assignment = store.AssignedPolicy(*agent);
  if (!assignment) return RefuseStoreFailure(err, assignment, "read the agent's assignment");
  const PolicyStanding standing = JudgePolicy(*record, *assignment);
  const ParentPolicy policy =
      assignment->source == PolicySource::None ? ProductDefaultParentPolicy() : assignment->policy;
  const std::string id = AgentIdHex(*agent);

  if (json) {
    out << "{\"scope\": \"agent\", \"agent\": \"" << id << "\", \"source\": \"" << SourceName(assignment->source)
        << "\", \"changedAt\": "
        << (assignment->source == PolicySource::None ? std::string("null") : std::to_string(assignment->changedAt))
        << ", \"policy\": " << ParentPolicyJson(policy) << ", \"standing\": \"" << StandingName(standing.standing)
        << "\", \"heldDigest\": " << OptionalDigestJson(standing.held)
        << ", \"expectedDigest\": " << OptionalDigestJson(standing.expected)
        << ", \"policySetsSent\": " << record->policy.tries
        << ", \"checkedAt\": " << (standing.held ? std::to_string(record->policy.checkedAt) : std::string("null"))
        << "}\n";
    return kExitDone;
  }
  out << "Agent " << id;
  if (record->status) out << " (" << ShownAgentText(record->status->computerName) << ")";
  switch (assignment->source) {
    case PolicySource::Agent:
      out << ": its own assignment, set " << LocalTimeText(assignment->changedAt) << "\n";
      break;
    case PolicySource::Fleet:
      out << ": the fleet default, set " << LocalTimeText(assignment->changedAt) << "\n";
      break;
    case PolicySource::None:
      out << ": no assignment applies (no fleet default, none of its own), so serve sends it nothing; a policy set "
             "starts from the product's default:\n";
      break;
  }
  WriteParentPolicy(out, policy, "  ");
  out << "  Held by agent:  ";
  if (standing.held)
    out << DigestText(*standing.held) << " (reported " << LocalTimeText(record->policy.checkedAt) << ")\n";
  else
    out << "not reported yet\n";
  out << "  Standing:       " << StandingName(standing.standing);
  switch (standing.standing) {
    case Standing::Drifted:
      out << ": " << record->policy.tries << " policy set(s) did not bring it in line";
      break;
    case Standing::Pending:
      out << ": it differs, and a running serve is setting it";
      break;
    case Standing::NotReported:
      out << ": the agent has not sent its digest yet";
      break;
    case Standing::Unmanaged:
    case Standing::InForce:
      break;
  }
  out << "\n";
  return kExitDone;
}

}  // namespace

int RunPolicyShow(Store& store, const std::optional<std::string>& agent, bool json, std::ostream& out,
                  std::ostream& err) {
  return agent ? ShowAgent(store, *agent, json, out, err) : ShowFleet(store, json, out, err);
}

PolicySetOutcome ApplyPolicySet(Store& store, const PolicySetOptions& options, int64_t now) {
  auto refused = [](int code, std::string message) {
    PolicySetOutcome outcome;
    outcome.code = code;
    outcome.message = std::move(message);
    return outcome;
  };
  auto storeFailed = [&](const auto& result, const std::string& what) {
    return refused(ExitCodeOf(result.failure()), "the store could not " + what + ": " + result.error());
  };
  if (options.agent.has_value() == options.all)
    return refused(kExitBadArguments, "policy set takes --agent ID or --all (the fleet default), one of them");
  const ParsedPolicyEdit parsed = ParsePolicyEdit(options.edit);
  if (!parsed.edit) return refused(kExitBadArguments, parsed.message + "; nothing was written");
  const PolicyEdit& edit = *parsed.edit;
  if (options.followFleet && (options.all || !edit.Empty()))
    return refused(kExitBadArguments, "--fleet goes with --agent ID alone: it drops the agent's own assignment");
  if (!options.followFleet && edit.Empty())
    return refused(kExitBadArguments,
                   "policy set needs a change: --rule, --cdrom, --floppy, --lock or --password (or --fleet)");

  StoreResult<std::optional<ParentPolicy>> fleet = store.GetFleetPolicy();
  if (!fleet) return storeFailed(fleet, "read the fleet default");

  PolicySetOutcome done;
  if (options.all) {
    const ParentPolicy changed = ApplyPolicyEdit(fleet->value_or(ProductDefaultParentPolicy()), edit);
    if (fleet->has_value() && changed == **fleet)
      return refused(kExitRefused, "the fleet default is that already; nothing to do");
    StoreResult<Done> written = store.SetFleetPolicy(changed, now);
    if (!written) return storeFailed(written, "set the fleet default");
    done.policy = changed;
    return done;
  }

  const std::optional<AgentId> agent = ParseAgentId(*options.agent);
  if (!agent) return refused(kExitBadArguments, NotAnAgentIdMessage(*options.agent));
  StoreResult<AgentRecord> record = store.FindAgent(*agent);
  if (!record)
    return record.failure() == StoreFailure::NotFound ? refused(kExitRefused, UnknownAgentMessage(*agent))
                                                      : storeFailed(record, "read the agent");
  const std::string id = AgentIdHex(*agent);
  StoreResult<std::optional<ParentPolicy>> own = store.GetAgentPolicy(*agent);
  if (!own) return storeFailed(own, "read the agent's assignment");
  if (options.followFleet) {
    if (!own->has_value())
      return refused(kExitRefused, "agent " + id + " follows the fleet default already; nothing to do");
    StoreResult<Done> cleared = store.ClearAgentPolicy(*agent, now);
    if (!cleared) return storeFailed(cleared, "remove the agent's assignment");
    done.followsFleet = true;
    return done;
  }
  const ParentPolicy base = own->has_value() ? **own : fleet->value_or(ProductDefaultParentPolicy());
  const ParentPolicy changed = ApplyPolicyEdit(base, edit);
  if (own->has_value() && changed == **own)
    return refused(kExitRefused, "the assignment of agent " + id + " is that already; nothing to do");
  StoreResult<Done> written = store.SetAgentPolicy(*agent, changed, now);
  if (!written)
    return written.failure() == StoreFailure::NotFound ? refused(kExitRefused, UnknownAgentMessage(*agent))
                                                       : storeFailed(written, "set the assignment");
  done.policy = changed;
  return done;
}

int RunPolicySet(Store& store, const PolicySetOptions& options, int64_t now, std::ostream& out, std::ostream& err) {
  const PolicySetOutcome outcome = ApplyPolicySet(store, options, now);
  if (outcome.code != kExitDone) return Refuse(err, outcome.code, outcome.message);
  if (options.all) {
    out << "The fleet default is set (digest " << DigestText(AssignedDigest(*outcome.policy))
        << "); a running serve brings the agents that follow it in line within a few seconds:\n";
    WriteParentPolicy(out, *outcome.policy, "  ");
    StoreResult<std::size_t> own = CountOwnAssignments(store);
    if (own && *own)
      out << *own << " agent(s) keep an assignment of their own (policy set --agent ID --fleet makes one follow "
          << "the fleet default).\n";
    return kExitDone;
  }
  const std::string id = AgentIdHex(*ParseAgentId(*options.agent));
  if (outcome.followsFleet) {
    out << "Agent " << id << " follows the fleet default again; a running serve brings it in line within a few "
        << "seconds.\n";
    return kExitDone;
  }
  out << "The assignment of agent " << id << " is set (digest " << DigestText(AssignedDigest(*outcome.policy))
      << "); a running serve brings the agent in line within a few seconds:\n";
  WriteParentPolicy(out, *outcome.policy, "  ");
  return kExitDone;
}

}  // namespace vx::server
