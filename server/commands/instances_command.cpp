#include "server/commands/instances_command.h"

#include <algorithm>
#include <string>
#include <vector>

#include "server/commands/command_support.h"
#include "server/commands/command_time.h"
#include "server/commands/text_output.h"

namespace vx::server {
namespace {

const char* StateOf(const InstanceRecord& instance, int64_t now) {
  if (instance.endedAt) return "ended";
  return now - instance.heartbeatAt > kInstanceLifeSeconds ? "silent" : "running";
}

}  // namespace

int RunInstancesList(Store& store, bool json, int64_t now, std::ostream& out, std::ostream& err) {
  const StoreResult<std::vector<InstanceRecord>> instances = store.ListInstances();
  if (!instances) return RefuseStoreFailure(err, instances, "list the instances");
  if (json) {
    out << "[";
    for (std::size_t i = 0; i < instances->size(); ++i) {
      const InstanceRecord& r = (*instances)[i];
      out << (i ? ",\n " : "") << "{\"id\":" << r.instanceId << ",\"host\":" << JsonBytes(r.info.host)
          << ",\"listen\":" << JsonBytes(r.info.listen) << ",\"pid\":" << r.info.pid << ",\"startedAt\":" << r.startedAt
          << ",\"heartbeatAt\":" << r.heartbeatAt
          << ",\"endedAt\":" << (r.endedAt ? std::to_string(*r.endedAt) : std::string("null")) << ",\"state\":\""
          << StateOf(r, now) << "\",\"agents\":" << r.agents << "}";
    }
    out << "]\n";
    return kExitDone;
  }
  if (instances->empty()) {
    out << "No serve has used this store yet.\n";
    return kExitDone;
  }
  std::vector<std::vector<std::string>> cells = {
      {"INSTANCE", "HOST", "LISTEN", "PROCESS", "STARTED", "LAST HEARTBEAT", "STATE", "AGENTS"}};
  for (const InstanceRecord& r : *instances)
    cells.push_back({std::to_string(r.instanceId), ShownAgentText(r.info.host), ShownAgentText(r.info.listen),
                     std::to_string(r.info.pid), LocalTimeText(r.startedAt), LocalTimeText(r.heartbeatAt),
                     StateOf(r, now), std::to_string(r.agents)});
  WriteColumns(cells, out);
  return kExitDone;
}

}  // namespace vx::server
