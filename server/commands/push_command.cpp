#include "server/commands/push_command.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "server/commands/command_support.h"

namespace vx::server {
namespace {

// The file's bytes, or a message saying why not.
std::optional<std::vector<uint8_t>> ReadInstaller(const std::filesystem::path& path, std::string& problem) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error || !std::filesystem::is_regular_file(status)) {
    problem = "\"" + path.string() + "\" is not a file that can be read";
    return std::nullopt;
  }
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size == 0 || size > kMaxUpdateSize) {
    problem = "\"" + path.string() + "\" has " + (error ? std::string("no size") : std::to_string(size) + " bytes") +
              "; an installer has 1 byte to " + std::to_string(kMaxUpdateSize) + " bytes";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())) ||
      in.peek() != std::ifstream::traits_type::eof()) {
    // Short, or it grew while being read: queue nothing rather than a file
    // that is not the one named.
    problem = "\"" + path.string() + "\" could not be read whole";
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

PushOutcome QueueInstaller(Store& store, const std::optional<std::string>& agentText, bool all, const std::string& name,
                           std::span<const uint8_t> content, int64_t now) {
  auto refused = [](int code, std::string message) {
    PushOutcome outcome;
    outcome.code = code;
    outcome.message = std::move(message);
    return outcome;
  };
  auto storeFailed = [&](const auto& result, const std::string& what) {
    return refused(ExitCodeOf(result.failure()), "the store could not " + what + ": " + result.error());
  };
  if (agentText.has_value() == all) return refused(kExitBadArguments, "push takes --agent ID or --all, one of them");
  if (content.empty() || content.size() > kMaxUpdateSize)
    return refused(kExitBadArguments, "an installer has 1 byte to " + std::to_string(kMaxUpdateSize) + " bytes, not " +
                                          std::to_string(content.size()) + "; nothing was queued");
  PushOutcome done;
  if (agentText) {
    const std::optional<AgentId> agent = ParseAgentId(*agentText);
    if (!agent) return refused(kExitBadArguments, NotAnAgentIdMessage(*agentText));
    StoreResult<AgentRecord> record = store.FindAgent(*agent);
    if (!record)
      return record.failure() == StoreFailure::NotFound ? refused(kExitRefused, UnknownAgentMessage(*agent))
                                                        : storeFailed(record, "read the agent");
    if (record->enrollment == Enrollment::Revoked)
      return refused(kExitRefused, "agent " + AgentIdHex(*agent) + " is revoked; nothing is sent to it");
    done.agents.push_back(*agent);
  } else {
    StoreResult<std::vector<AgentRecord>> listed = store.ListAgents();
    if (!listed) return storeFailed(listed, "list the agents");
    for (const AgentRecord& agent : *listed)
      if (agent.enrollment != Enrollment::Revoked) done.agents.push_back(agent.id);
    if (done.agents.empty()) return refused(kExitRefused, "no agent to send it to; nothing was queued");
  }
  StoreResult<std::vector<int64_t>> queued = store.QueueUpdate(done.agents, name, content, now);
  if (!queued) return storeFailed(queued, "queue the update");
  done.updateIds = std::move(queued).value();
  return done;
}

int RunPush(Store& store, const PushOptions& options, int64_t now, std::ostream& out, std::ostream& err) {
  if (options.agent.has_value() == options.all)
    return Refuse(err, kExitBadArguments, "push takes --agent ID or --all, one of them");
  // An unknown or revoked agent is refused before the file is read.
  if (options.agent) {
    const std::optional<AgentId> agent = ParseAgentArgument(*options.agent, err);
    if (!agent) return kExitBadArguments;
    int code = kExitDone;
    const std::optional<AgentRecord> record = FindKnownAgent(store, *agent, err, code);
    if (!record) return code;
    if (record->enrollment == Enrollment::Revoked)
      return Refuse(err, kExitRefused, "agent " + AgentIdHex(*agent) + " is revoked; nothing is sent to it");
  }
  std::string problem;
  const std::optional<std::vector<uint8_t>> content = ReadInstaller(options.file, problem);
  if (!content) return Refuse(err, kExitBadArguments, problem + "; nothing was queued");
  const std::string name = std::filesystem::path(options.file).filename().string();
  const PushOutcome outcome = QueueInstaller(store, options.agent, options.all, name, *content, now);
  if (outcome.code != kExitDone) return Refuse(err, outcome.code, outcome.message);
  out << "Queued " << name << " (" << content->size() << " bytes) for " << outcome.agents.size()
      << " agent(s); a running serve sends it to each once, when it is connected:\n";
  for (std::size_t i = 0; i < outcome.agents.size() && i < outcome.updateIds.size(); ++i)
    out << "  update " << outcome.updateIds[i] << " for agent " << AgentIdHex(outcome.agents[i]) << "\n";
  return kExitDone;
}

}  // namespace vx::server
