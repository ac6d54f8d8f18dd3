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

int RunPush(Store& store, const PushOptions& options, int64_t now, std::ostream& out, std::ostream& err) {
  if (options.agent.has_value() == options.all)
    return Refuse(err, kExitBadArguments, "push takes --agent ID or --all, one of them");
  std::vector<AgentId> agents;
  if (options.agent) {
    const std::optional<AgentId> agent = ParseAgentArgument(*options.agent, err);
    if (!agent) return kExitBadArguments;
    int code = kExitDone;
    const std::optional<AgentRecord> record = FindKnownAgent(store, *agent, err, code);
    if (!record) return code;
    if (record->enrollment == Enrollment::Revoked)
      return Refuse(err, kExitRefused, "agent " + AgentIdHex(*agent) + " is revoked; nothing is sent to it");
    agents.push_back(*agent);
  }
  std::string problem;
  const std::optional<std::vector<uint8_t>> content = ReadInstaller(options.file, problem);
  if (!content) return Refuse(err, kExitBadArguments, problem + "; nothing was queued");
  if (options.all) {
    StoreResult<std::vector<AgentRecord>> listed = store.ListAgents();
    if (!listed) return RefuseStoreFailure(err, listed, "list the agents");
    for (const AgentRecord& agent : *listed)
      if (agent.enrollment != Enrollment::Revoked) agents.push_back(agent.id);
    if (agents.empty()) return Refuse(err, kExitRefused, "no agent to send it to; nothing was queued");
  }
  const std::string name = std::filesystem::path(options.file).filename().string();
  StoreResult<std::vector<int64_t>> queued = store.QueueUpdate(agents, name, *content, now);
  if (!queued) return RefuseStoreFailure(err, queued, "queue the update");
  out << "Queued " << name << " (" << content->size() << " bytes) for " << agents.size()
      << " agent(s); a running serve sends it to each once, when it is connected:\n";
  for (std::size_t i = 0; i < agents.size() && i < queued->size(); ++i)
    out << "  update " << (*queued)[i] << " for agent " << AgentIdHex(agents[i]) << "\n";
  return kExitDone;
}

}  // namespace vx::server
