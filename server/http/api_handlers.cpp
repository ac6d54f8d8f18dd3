#include "server/http/api_handlers.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <sstream>
#include <vector>

#include "policy/rule_words.h"
#include "server/commands/agent_view.h"
#include "server/commands/command_support.h"
#include "server/commands/command_time.h"
#include "server/commands/policy_commands.h"
#include "server/commands/policy_view.h"
#include "server/commands/push_command.h"
#include "server/commands/text_output.h"

namespace vx::server {
namespace {

ApiResponse Error(int status, const std::string& message) {
  return {status, "{\"error\": " + JsonBytes(message) + "}"};
}

// The HTTP status of an administration exit code.
int StatusOf(int exitCode) {
  switch (exitCode) {
    case kExitDone:
      return 200;
    case kExitRefused:
      return 409;
    case kExitBadArguments:
      return 400;
    default:
      return 503;
  }
}

ApiResponse StoreError(StoreFailure failure, const std::string& message) {
  switch (failure) {
    case StoreFailure::NotFound:
      return Error(404, message);
    case StoreFailure::InvalidValue:
      return Error(400, message);
    case StoreFailure::Unavailable:
      break;
  }
  return Error(503, message);
}

template <typename T>
ApiResponse StoreError(const StoreResult<T>& result) {
  return StoreError(result.failure(), result.error());
}

std::optional<std::string> Param(const ApiRequest& request, const std::string& name) {
  const auto found = request.params.find(name);
  if (found == request.params.end()) return std::nullopt;
  return found->second;
}

std::string Optional(const std::optional<int64_t>& value) { return value ? std::to_string(*value) : "null"; }

// A time parameter: seconds since 1970 or a local time as the commands take it.
bool TimeParam(const ApiRequest& request, const std::string& name, std::optional<int64_t>& value,
               std::string& problem) {
  const std::optional<std::string> text = Param(request, name);
  if (!text) return true;
  value = ParseTimeArgument(*text);
  if (!value) problem = name + " takes seconds since 1970 or YYYY-MM-DD[THH:MM[:SS]], not " + JsonBytes(*text);
  return value.has_value();
}

// A bound of a row time, which is signed 32-bit.
int32_t RowTime(int64_t seconds) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(seconds, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

std::optional<int64_t> Number(std::string_view text) {
  int64_t value = 0;
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (problem != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string RowJson(const StoredReport& report) {
  const ReportRowRecord& row = report.row;
  return "{\"agent\": \"" + AgentIdHex(report.agent) + "\", \"epoch\": " + std::to_string(report.epoch) +
         ", \"id\": " + std::to_string(row.id) + ", \"time\": " + std::to_string(row.time) +
         ", \"vendor\": " + JsonAgentText(row.vendor) + ", \"product\": " + JsonAgentText(row.product) +
         ", \"serial\": " + JsonAgentText(row.serial) + ", \"action\": " + std::to_string(row.action) +
         ", \"driveLock\": " + (IsDriveLockRow(row) ? "true" : "false") + "}";
}

std::string UpdateJson(const UpdateRecord& update) {
  return "{\"id\": " + std::to_string(update.updateId) + ", \"agent\": \"" + AgentIdHex(update.agent) +
         "\", \"name\": " + JsonAgentText(update.name) + ", \"size\": " + std::to_string(update.size) +
         ", \"queuedAt\": " + std::to_string(update.queuedAt) + ", \"deliveredAt\": " + Optional(update.deliveredAt) +
         "}";
}

// "time.agent.epoch.id" of the last row of a page: where the next one starts.
std::string CursorText(const StoredReport& last) {
  return std::to_string(last.row.time) + "." + AgentIdHex(last.agent) + "." + std::to_string(last.epoch) + "." +
         std::to_string(last.row.id);
}

std::optional<ReportPlace> ParseCursor(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, '.');) parts.push_back(part);
  if (parts.size() != 4) return std::nullopt;
  const auto time = Number(parts[0]), epoch = Number(parts[2]), id = Number(parts[3]);
  const auto agent = ParseAgentId(parts[1]);
  if (!time || !epoch || !id || !agent || *time != RowTime(*time) || *id != static_cast<int32_t>(*id))
    return std::nullopt;
  return ReportPlace{static_cast<int32_t>(*time), *agent, *epoch, static_cast<int32_t>(*id)};
}

// The agent named by the `agent` parameter: absent (nullopt in `agent`), or
// known; an answer when it is malformed or unknown.
std::optional<ApiResponse> AgentParam(Store& store, const ApiRequest& request, std::optional<AgentId>& agent) {
  const std::optional<std::string> text = Param(request, "agent");
  if (!text) return std::nullopt;
  agent = ParseAgentId(*text);
  if (!agent) return Error(400, NotAnAgentIdMessage(*text));
  StoreResult<AgentRecord> found = store.FindAgent(*agent);
  if (!found)
    return found.failure() == StoreFailure::NotFound ? Error(404, UnknownAgentMessage(*agent)) : StoreError(found);
  return std::nullopt;
}

ApiResponse ListAgents(Store& store) {
  StoreResult<std::vector<AgentLine>> agents = ListAgentLines(store);
  if (!agents) return StoreError(agents);
  std::string json = "{\"agents\": [";
  for (std::size_t i = 0; i < agents->size(); ++i) json += (i ? ", " : "") + AgentJson((*agents)[i]);
  return {200, json + "]}"};
}

ApiResponse PolicyShow(Store& store, const std::optional<std::string>& agent) {
  std::ostringstream out, err;
  const int code = RunPolicyShow(store, agent, true, out, err);
  if (code == kExitDone) return {200, out.str()};
  std::string message = err.str();
  if (message.rfind("vxmgmtd: ", 0) == 0) message.erase(0, 9);
  while (!message.empty() && message.back() == '\n') message.pop_back();
  return Error(code == kExitRefused ? 404 : StatusOf(code), message);
}

ApiResponse OneAgent(Store& store, const std::string& idText) {
  const std::optional<AgentId> agent = ParseAgentId(idText);
  if (!agent) return Error(400, NotAnAgentIdMessage(idText));
  StoreResult<AgentLine> line = FindAgentLine(store, *agent);
  if (!line)
    return line.failure() == StoreFailure::NotFound ? Error(404, UnknownAgentMessage(*agent)) : StoreError(line);
  const ApiResponse policy = PolicyShow(store, idText);
  if (policy.status != 200) return policy;
  StoreResult<std::vector<StoredReport>> events =
      store.ListReports(ReportQuery{.agent = *agent, .newestTimeFirst = true, .limit = 20});
  if (!events) return StoreError(events);
  StoreResult<std::vector<UpdateRecord>> updates = store.ListUpdates(*agent);
  if (!updates) return StoreError(updates);
  const std::optional<AgentStatus>& status = line->record.status;
  std::string json = "{\"agent\": " + AgentJson(*line) + ", \"status\": ";
  if (status)
    json += "{\"uptimeSeconds\": " + std::to_string(status->uptimeSeconds) +
            ", \"statusWord\": " + std::to_string(status->statusWord) +
            ", \"onBattery\": " + (status->onBattery ? "true" : "false") +
            ", \"windowsVersion\": " + std::to_string(status->windowsVersion) +
            ", \"receivedAt\": " + std::to_string(status->receivedAt) + "}";
  else
    json += "null";
  json += ", \"policy\": " + policy.json;
  while (!json.empty() && json.back() == '\n') json.pop_back();
  json += ", \"events\": [";
  for (std::size_t i = 0; i < events->size(); ++i) json += (i ? ", " : "") + RowJson((*events)[i]);
  json += "], \"updates\": [";
  for (std::size_t i = 0; i < updates->size(); ++i) json += (i ? ", " : "") + UpdateJson((*updates)[i]);
  return {200, json + "]}"};
}

ApiResponse Reports(Store& store, const ApiRequest& request) {
  ReportQuery query;
  query.newestTimeFirst = true;
  if (auto refused = AgentParam(store, request, query.agent)) return *refused;
  std::optional<int64_t> since, until;
  std::string problem;
  if (!TimeParam(request, "since", since, problem) || !TimeParam(request, "until", until, problem))
    return Error(400, problem);
  if (since && until && *until <= *since) return Error(400, "until must come after since");
  if (since) query.sinceTime = RowTime(*since);
  if (until) query.beforeTime = RowTime(*until);
  if (const auto action = Param(request, "action")) {
    if (*action == "block")
      query.verdict = 0;
    else if (*action == "allow")
      query.verdict = 1;
    else if (*action == "read-only")
      query.verdict = 2;
    else
      return Error(400, "action takes block, read-only or allow");
  }
  query.limit = kDefaultReportPage;
  if (const auto limit = Param(request, "limit")) {
    const std::optional<int64_t> value = Number(*limit);
    if (!value || *value < 1 || *value > static_cast<int64_t>(kMaxReportPage))
      return Error(400, "limit takes 1 to " + std::to_string(kMaxReportPage));
    query.limit = static_cast<std::size_t>(*value);
  }
  if (const auto after = Param(request, "after")) {
    query.olderThan = ParseCursor(*after);
    if (!query.olderThan) return Error(400, "after takes the next value of the page before");
  }
  StoreResult<std::vector<StoredReport>> rows = store.ListReports(query);
  if (!rows) return StoreError(rows);
  std::string json = "{\"rows\": [";
  for (std::size_t i = 0; i < rows->size(); ++i) json += (i ? ", " : "") + RowJson((*rows)[i]);
  json += "], \"next\": ";
  json += rows->size() == query.limit ? "\"" + CursorText(rows->back()) + "\"" : "null";
  return {200, json + "}"};
}

ApiResponse HourlyReports(Store& store, const ApiRequest& request) {
  ReportCountQuery query;
  if (auto refused = AgentParam(store, request, query.agent)) return *refused;
  std::optional<int64_t> since, until;
  std::string problem;
  if (!TimeParam(request, "since", since, problem) || !TimeParam(request, "until", until, problem))
    return Error(400, problem);
  if (!since || !until) return Error(400, "the hourly counts need since and until");
  if (*until <= *since) return Error(400, "until must come after since");
  if (*until - *since > kMaxHourlyRange) return Error(400, "the hourly counts cover at most 31 days");
  query.sinceTime = RowTime(*since);
  query.beforeTime = RowTime(*until);
  query.slotSeconds = 3600;
  StoreResult<std::vector<ReportSlotCount>> counts = store.CountReportsBySlot(query);
  if (!counts) return StoreError(counts);
  const int64_t slots = (*until - *since + 3599) / 3600;
  struct Slot {
    uint64_t blocked = 0, allowed = 0, readOnly = 0, driveLocks = 0, other = 0;
  };
  std::vector<Slot> table(static_cast<std::size_t>(slots));
  for (const ReportSlotCount& count : *counts) {
    if (count.slot < 0 || count.slot >= slots) continue;
    Slot& slot = table[static_cast<std::size_t>(count.slot)];
    if (count.driveLock)
      slot.driveLocks += count.rows;
    else if (count.action == 0)
      slot.blocked += count.rows;
    else if (count.action == 1)
      slot.allowed += count.rows;
    else if (count.action == 2)
      slot.readOnly += count.rows;
    else
      slot.other += count.rows;
  }
  std::string json = "{\"since\": " + std::to_string(*since) + ", \"until\": " + std::to_string(*until) +
                     ", \"slotSeconds\": 3600, \"slots\": [";
  for (std::size_t i = 0; i < table.size(); ++i) {
    const Slot& s = table[i];
    json += (i ? ", " : "") + std::string("{\"start\": ") + std::to_string(*since + static_cast<int64_t>(i) * 3600) +
            ", \"blocked\": " + std::to_string(s.blocked) + ", \"readOnly\": " + std::to_string(s.readOnly) +
            ", \"allowed\": " + std::to_string(s.allowed) + ", \"driveLocks\": " + std::to_string(s.driveLocks) +
            ", \"other\": " + std::to_string(s.other) + "}";
  }
  return {200, json + "]}"};
}

ApiResponse SetPolicy(Store& store, const ApiRequest& request, int64_t now) {
  PolicySetOptions options;
  options.agent = Param(request, "agent");
  options.all = Param(request, "all") == "1";
  options.followFleet = Param(request, "fleet") == "1";
  if (options.agent) {
    std::optional<AgentId> agent;
    if (auto refused = AgentParam(store, request, agent)) return *refused;
  }
  const auto rules = request.params.equal_range("rule");
  for (auto it = rules.first; it != rules.second; ++it) options.edit.rules.push_back(it->second);
  options.edit.replaceRules = Param(request, "rules") == "replace";
  // Every rule is checked, so the editor can mark each one at fault at once.
  std::string errors;
  for (std::size_t i = 0; i < options.edit.rules.size(); ++i) {
    const ParsedRuleWords parsed = ParseRuleWords(options.edit.rules[i]);
    if (parsed.rule) continue;
    errors += (errors.empty() ? "" : ", ") + std::string("{\"rule\": ") + std::to_string(i + 1) +
              ", \"text\": " + JsonBytes(options.edit.rules[i]) + ", \"word\": " + JsonBytes(parsed.word) +
              ", \"message\": " + JsonBytes(parsed.message) + "}";
  }
  if (!errors.empty())
    return {400,
            "{\"error\": \"some rules are not rules in words; nothing was written\", \"rules\": [" + errors + "]}"};
  options.edit.cdrom = Param(request, "cdrom");
  options.edit.floppy = Param(request, "floppy");
  for (const char* item : {"rules", "cdrom", "floppy", "password"})
    if (const auto value = Param(request, std::string("lock-") + item)) {
      options.edit.locks.push_back(item);
      options.edit.locks.push_back(*value);
    }
  options.edit.password = Param(request, "password");
  const PolicySetOutcome outcome = ApplyPolicySet(store, options, now);
  // The same policy again is no fault for an editor that sends everything.
  if (outcome.code == kExitRefused && outcome.message.find("nothing to do") != std::string::npos)
    return {200, "{\"changed\": false, \"message\": " + JsonBytes(outcome.message) + "}"};
  if (outcome.code != kExitDone) return Error(StatusOf(outcome.code), outcome.message);
  if (outcome.followsFleet) return {200, "{\"changed\": true, \"followsFleet\": true}"};
  return {200, "{\"changed\": true, \"policy\": " + ParentPolicyJson(*outcome.policy) + "}"};
}

ApiResponse Drift(Store& store) {
  StoreResult<std::vector<AgentLine>> agents = ListAgentLines(store);
  if (!agents) return StoreError(agents);
  std::string json = "{\"agents\": [";
  bool first = true;
  for (const AgentLine& agent : *agents) {
    if (agent.policy.standing != Standing::Drifted && agent.policy.standing != Standing::Pending) continue;
    json += (first ? "" : ", ") + AgentJson(agent);
    first = false;
  }
  return {200, json + "]}"};
}

ApiResponse ListUpdates(Store& store, const ApiRequest& request) {
  std::optional<AgentId> agent;
  if (auto refused = AgentParam(store, request, agent)) return *refused;
  StoreResult<std::vector<UpdateRecord>> updates = store.ListUpdates(agent);
  if (!updates) return StoreError(updates);
  std::string json = "{\"updates\": [";
  for (std::size_t i = 0; i < updates->size(); ++i) json += (i ? ", " : "") + UpdateJson((*updates)[i]);
  return {200, json + "]}"};
}

ApiResponse PushUpdate(Store& store, const ApiRequest& request, int64_t now) {
  if (!request.file) return Error(400, "an update needs a file field");
  std::optional<AgentId> agent;
  if (auto refused = AgentParam(store, request, agent)) return *refused;
  // Only the last part of the name the browser sent, as the command keeps it.
  std::string name = request.file->filename;
  if (const auto slash = name.find_last_of("/\\"); slash != std::string::npos) name.erase(0, slash + 1);
  if (name.empty() || name.size() > 255) name = "VXUP.exe";
  const std::span<const uint8_t> content(reinterpret_cast<const uint8_t*>(request.file->content.data()),
                                         request.file->content.size());
  const PushOutcome outcome =
      QueueInstaller(store, Param(request, "agent"), Param(request, "all") == "1", name, content, now);
  if (outcome.code != kExitDone) return Error(StatusOf(outcome.code), outcome.message);
  std::string json = "{\"queued\": [";
  for (std::size_t i = 0; i < outcome.agents.size() && i < outcome.updateIds.size(); ++i)
    json += (i ? ", " : "") + std::string("{\"id\": ") + std::to_string(outcome.updateIds[i]) + ", \"agent\": \"" +
            AgentIdHex(outcome.agents[i]) + "\"}";
  return {200, json + "]}"};
}

}  // namespace

ApiResponse HandleApiRequest(Store& store, const ApiRequest& request, int64_t now) {
  const std::string& path = request.path;
  const bool get = request.method == "GET";
  const bool post = request.method == "POST";
  if (path == "agents" && get) return ListAgents(store);
  if (path.rfind("agents/", 0) == 0 && get) return OneAgent(store, path.substr(7));
  if (path == "reports" && get) return Reports(store, request);
  if (path == "reports/hourly" && get) return HourlyReports(store, request);
  if (path == "policy" && get) return PolicyShow(store, Param(request, "agent"));
  if (path == "policy" && post) return SetPolicy(store, request, now);
  if (path == "drift" && get) return Drift(store);
  if (path == "updates" && get) return ListUpdates(store, request);
  if (path == "updates" && post) return PushUpdate(store, request, now);
  return Error(404, "no such call: " + request.method + " /api/v1/" + path);
}

}  // namespace vx::server
