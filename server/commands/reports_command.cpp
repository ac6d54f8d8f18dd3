#include "server/commands/reports_command.h"

#include <cstdint>
#include <limits>
#include <vector>

#include "server/commands/command_support.h"
#include "server/commands/command_time.h"
#include "server/commands/text_output.h"

namespace vx::server {
namespace {

constexpr std::size_t kPageRows = 1000;

// Report actions as the monitor stores them.
constexpr int32_t kReportBlocked = 0, kReportAllowed = 1, kReportReadOnly = 2;

std::optional<int32_t> ReportActionOf(const std::string& word) {
  if (word == "block") return kReportBlocked;
  if (word == "allow") return kReportAllowed;
  if (word == "read-only") return kReportReadOnly;
  return std::nullopt;
}

std::string ActionText(const ReportRowRecord& row) {
  if (IsDriveLockRow(row)) {
    if (row.action == 0) return "locked";
    if (row.action == 1) return "unlocked";
    return "lock action " + std::to_string(row.action);
  }
  const int32_t action = row.action;
  switch (action) {
    case kReportBlocked:
      return "blocked";
    case kReportAllowed:
      return "allowed";
    case kReportReadOnly:
      return "read-only";
    default:
      return "action " + std::to_string(action);
  }
}

// Writes rows in one of the three forms; the JSON array is opened before the
// first row and closed after the last.
class ReportWriter {
 public:
  ReportWriter(const ReportsOptions& options, std::ostream& out) : options_(options), out_(out) {
    if (options_.json) out_ << "[";
    if (options_.csv) out_ << "agent,id,time,vendor,product,serial,action\r\n";
  }

  void Write(const StoredReport& report) {
    const ReportRowRecord& row = report.row;
    const std::string agent = AgentIdHex(report.agent);
    if (options_.json) {
      out_ << (rows_ ? ",\n " : "") << "{\"agent\": \"" << agent << "\", \"id\": " << row.id
           << ", \"time\": " << row.time << ", \"vendor\": " << JsonAgentText(row.vendor)
           << ", \"product\": " << JsonAgentText(row.product) << ", \"serial\": " << JsonAgentText(row.serial)
           << ", \"action\": " << row.action << "}";
    } else if (options_.csv) {
      out_ << agent << "," << row.id << "," << row.time << "," << CsvAgentText(row.vendor) << ","
           << CsvAgentText(row.product) << "," << CsvAgentText(row.serial) << "," << row.action << "\r\n";
    } else {
      std::string action = ActionText(row);
      if (action.size() < 9) action.resize(9, ' ');
      out_ << LocalTimeText(row.time) << "  " << agent << "  " << row.id << "  " << action << "  "
           << ShownAgentText(row.vendor) << " | " << ShownAgentText(row.product) << " | " << ShownAgentText(row.serial)
           << "\n";
    }
    ++rows_;
  }

  void Finish() {
    if (options_.json) out_ << "]\n";
    if (!options_.json && !options_.csv && rows_ == 0) out_ << "No report rows match.\n";
  }

 private:
  const ReportsOptions& options_;
  std::ostream& out_;
  std::size_t rows_ = 0;
};

}  // namespace

int RunReports(Store& store, const ReportsOptions& options, std::ostream& out, std::ostream& err) {
  if (options.json && options.csv) return Refuse(err, kExitBadArguments, "choose one of --json and --csv");
  std::optional<int32_t> action;
  if (options.action && !(action = ReportActionOf(*options.action)))
    return Refuse(err, kExitBadArguments, "--action takes block, read-only or allow, not \"" + *options.action + "\"");
  std::optional<int64_t> since;
  if (options.since && !(since = ParseTimeArgument(*options.since)))
    return Refuse(
        err, kExitBadArguments,
        "--since takes a local time YYYY-MM-DD[THH:MM[:SS]] or seconds since 1970, not \"" + *options.since + "\"");
  // Row times are signed 32-bit: a bound past that range keeps every row, or none.
  constexpr int64_t kLatest = std::numeric_limits<int32_t>::max();

  std::vector<AgentRecord> agents;
  if (options.agent) {
    const std::optional<AgentId> agent = ParseAgentArgument(*options.agent, err);
    if (!agent) return kExitBadArguments;
    int code = kExitDone;
    std::optional<AgentRecord> record = FindKnownAgent(store, *agent, err, code);
    if (!record) return code;
    agents.push_back(std::move(*record));
  } else {
    StoreResult<std::vector<AgentRecord>> listed = store.ListAgents();
    if (!listed) return RefuseStoreFailure(err, listed, "list the agents");
    agents = std::move(listed).value();
  }

  ReportWriter writer(options, out);
  // Page by page within each agent's report epochs (ids count again in each).
  for (const AgentRecord& agent : agents) {
    for (int64_t epoch = 1; epoch <= agent.reports.epoch; ++epoch) {
      ReportQuery query;
      query.agent = agent.id;
      query.epoch = epoch;
      query.limit = kPageRows;
      if (since) {
        if (*since > kLatest) continue;  // after every time a row can carry
        query.sinceTime = static_cast<int32_t>(std::max<int64_t>(*since, std::numeric_limits<int32_t>::min()));
      }
      for (;;) {
        StoreResult<std::vector<StoredReport>> page = store.ListReports(query);
        if (!page) {
          writer.Finish();
          return RefuseStoreFailure(err, page, "list report rows");
        }
        for (const StoredReport& report : *page)
          // --action asks for disk verdicts: drive lock rows never match it.
          if (!action || (!IsDriveLockRow(report.row) && report.row.action == *action)) writer.Write(report);
        if (page->size() < kPageRows) break;
        query.afterId = page->back().row.id;
      }
    }
  }
  writer.Finish();
  return kExitDone;
}

}  // namespace vx::server
