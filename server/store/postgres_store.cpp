#include "server/store/postgres_store.h"

#include <algorithm>
#include <set>
#include <utility>

#include "server/store/postgres_connection.h"
#include "server/store/postgres_migrations.h"
#include "server/store/schema_version.h"
#include "server/store/store_columns.h"
#include "server/store/store_location.h"

namespace vx::server {
namespace {

using management::ParentPolicy;
using pg::Bytea;
using pg::Int;
using pg::Null;
using pg::Param;
using pg::Result;
using pg::Text;
using pg::Transaction;
using store_columns::kAgentColumns;
using store_columns::kAssignmentColumns;
using store_columns::kUpdateColumns;
using store_columns::kUpdatesJoined;

constexpr std::string_view kFleetScope = "fleet";
constexpr char kChangeChannel[] = "vxmgmtd_changes";
// The advisory lock under which a database's schema is brought up to date.
constexpr int64_t kMigrationLock = 0x76786d676d746431;  // "vxmgmtd1"

std::string_view IdView(const AgentId& id) {
  return std::string_view(reinterpret_cast<const char*>(id.data()), id.size());
}

Param IdParam(const AgentId& id) { return Bytea(IdView(id)); }

AgentId IdFromBytes(const std::string& bytes) {
  AgentId id{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), id.size()), id.begin());
  return id;
}

// Session settings applied at every connection (and reconnection).
std::string SessionSetup(const StoreOpenOptions& options) {
  std::string setup = "SET bytea_output = 'hex'; SET client_min_messages = 'warning'; SET lock_timeout = '" +
                      std::to_string(options.busyTimeoutMs) + "ms'; SET statement_timeout = '30s';";
  if (!options.durableCommits) setup += " SET synchronous_commit = 'off';";
  if (options.readOnly) setup += " SET default_transaction_read_only = 'on';";
  return setup;
}

class PostgresChangeSignal final : public ChangeSignal {
 public:
  explicit PostgresChangeSignal(std::unique_ptr<pg::Connection> connection) : connection_(std::move(connection)) {}
  int Descriptor() const override { return PQsocket(connection_->Raw()); }
  bool Consume() override {
    PGconn* conn = connection_->Raw();
    if (PQconsumeInput(conn) == 0 || PQstatus(conn) != CONNECTION_OK) return false;
    while (PGnotify* notify = PQnotifies(conn)) PQfreemem(notify);
    return true;
  }

 private:
  std::unique_ptr<pg::Connection> connection_;
};

class PostgresStore final : public Store {
 public:
  PostgresStore(std::unique_ptr<pg::Connection> db, std::string url, StoreOpenOptions options)
      : db_(std::move(db)), url_(std::move(url)), shown_(UrlWithoutPassword(url_)), options_(options) {}

  // ---- Instances --------------------------------------------------------------

  StoreResult<int64_t> RegisterInstance(const InstanceInfo& info, bool alone, int64_t now) override {
    if (auto refused = Refuse<int64_t>()) return *refused;
    Transaction transaction(*db_);
    if (!transaction.Begin()) return Unavailable<int64_t>("register the instance");
    if (alone && !EndInstances("true", {}, now)) return Unavailable<int64_t>("end the instances before this one");
    const Result inserted = db_->Exec(
        "INSERT INTO instances (host, listen, pid, started_at, heartbeat_at) VALUES ($1, $2, $3, $4, $4) "
        "RETURNING instance_id",
        {Text(info.host), Text(info.listen), Int(info.pid), Int(now)});
    if (!inserted.ok() || inserted.Rows() != 1 || !transaction.Commit())
      return Unavailable<int64_t>("register the instance", inserted);
    return inserted.Int(0, 0);
  }

  StoreResult<HeartbeatOutcome> Heartbeat(int64_t instanceId, int64_t now) override {
    if (auto refused = Refuse<HeartbeatOutcome>()) return *refused;
    Transaction transaction(*db_);
    if (!transaction.Begin()) return Unavailable<HeartbeatOutcome>("record the heartbeat");
    HeartbeatOutcome outcome;
    const Result beat = db_->ExecPrepared(
        "heartbeat", "UPDATE instances SET heartbeat_at = $2 WHERE instance_id = $1 AND ended_at IS NULL",
        {Int(instanceId), Int(now)});
    if (!beat.ok()) return Unavailable<HeartbeatOutcome>("record the heartbeat", beat);
    outcome.ended = beat.Affected() == 0;
    // Locked, so two instances reaping at once end each lapsed one once.
    auto lapsed = SelectInstances(" WHERE i.ended_at IS NULL AND i.heartbeat_at < $1 FOR UPDATE OF i",
                                  {Int(now - kInstanceLifeSeconds)});
    if (!lapsed) return lapsed.As<HeartbeatOutcome>();
    outcome.reaped = std::move(lapsed).value();
    if (!outcome.reaped.empty() && !EndInstances("heartbeat_at < $1", {Int(now - kInstanceLifeSeconds)}, now))
      return Unavailable<HeartbeatOutcome>("end the instances whose heartbeat lapsed");
    if (!transaction.Commit()) return Unavailable<HeartbeatOutcome>("record the heartbeat");
    return outcome;
  }

  StoreResult<Done> EndInstance(int64_t instanceId, int64_t now) override {
    if (auto refused = Refuse<Done>()) return *refused;
    Transaction transaction(*db_);
    if (!transaction.Begin() || !EndInstances("instance_id = $1", {Int(instanceId)}, now) || !transaction.Commit())
      return Unavailable<Done>("end the instance");
    return Done{};
  }

  StoreResult<std::vector<InstanceRecord>> ListInstances() override {
    if (auto refused = Reconnect<std::vector<InstanceRecord>>()) return *refused;
    return SelectInstances("", {});
  }

  std::unique_ptr<ChangeSignal> ListenForChanges() override {
    auto connection = std::make_unique<pg::Connection>();
    if (!connection->Open(url_, SessionSetup(options_)).empty()) return nullptr;
    if (!connection->Exec(std::string("LISTEN ") + kChangeChannel).ok()) return nullptr;
    if (PQsetnonblocking(connection->Raw(), 1) != 0) return nullptr;
    return std::make_unique<PostgresChangeSignal>(std::move(connection));
  }

  // ---- Agent sessions -----------------------------------------------------

  StoreResult<HelloOutcome> RecordHello(const AgentId& agent, EnrollMode mode, const std::string& address,
                                        int64_t now) override {
    if (auto refused = Refuse<HelloOutcome>()) return *refused;
    // One statement: of two instances that see a new agent at once, one
    // inserts it and the other finds it.
    const Enrollment enrolled = mode == EnrollMode::Open ? Enrollment::Approved : Enrollment::Pending;
    const Result result = db_->ExecPrepared(
        "hello",
        "INSERT INTO agents (agent_id, enrollment, address, first_seen, last_seen) VALUES ($1, $2, $3, $4, $4) "
        "ON CONFLICT (agent_id) DO UPDATE SET address = EXCLUDED.address, last_seen = EXCLUDED.last_seen "
        "RETURNING enrollment, (xmax = 0) AS inserted",
        {IdParam(agent), Text(EnrollmentName(enrolled)), Text(address), Int(now)});
    if (!result.ok() || result.Rows() != 1) return Unavailable<HelloOutcome>("record a hello", result);
    HelloOutcome outcome;
    outcome.enrollment = ParseEnrollment(result.Text(0, 0)).value_or(Enrollment::Revoked);
    outcome.newAgent = result.Bool(0, 1);
    return outcome;
  }

  StoreResult<ConnectionClaim> ClaimConnection(const AgentId& agent, int64_t instanceId, int64_t now) override {
    if (auto refused = Refuse<ConnectionClaim>()) return *refused;
    // A holder may let go between the claim and the look at who holds it:
    // then the claim is tried once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
      const Result claim = db_->ExecPrepared("claim_connection",
                                             "UPDATE agents SET instance_id = $2, last_seen = $3 WHERE agent_id = $1 "
                                             "AND (instance_id IS NULL OR instance_id = $2)",
                                             {IdParam(agent), Int(instanceId), Int(now)});
      if (!claim.ok()) return Unavailable<ConnectionClaim>("claim an agent's connection", claim);
      if (claim.Affected() == 1) return ConnectionClaim{true, std::nullopt};
      const Result holder = db_->ExecPrepared("connection_holder", "SELECT instance_id FROM agents WHERE agent_id = $1",
                                              {IdParam(agent)});
      if (!holder.ok()) return Unavailable<ConnectionClaim>("claim an agent's connection", holder);
      if (holder.Rows() == 0) return NotFound<ConnectionClaim>(agent);
      if (!holder.IsNull(0, 0)) return ConnectionClaim{false, holder.Int(0, 0)};
    }
    return ConnectionClaim{false, std::nullopt};
  }

  StoreResult<Done> ReleaseConnection(const AgentId& agent, int64_t instanceId, int64_t now) override {
    if (auto refused = Refuse<Done>()) return *refused;
    const Result release = db_->ExecPrepared(
        "release_connection",
        "UPDATE agents SET instance_id = NULL, last_seen = $3 WHERE agent_id = $1 AND instance_id = $2",
        {IdParam(agent), Int(instanceId), Int(now)});
    if (!release.ok()) return Unavailable<Done>("release an agent's connection", release);
    return Done{};
  }

  StoreResult<Done> RecordSeen(const AgentId& agent, int64_t now) override {
    return UpdateAgent("seen", "UPDATE agents SET last_seen = $2 WHERE agent_id = $1", agent, {Int(now)});
  }

  StoreResult<Done> RecordStatus(const AgentId& agent, const AgentStatus& status) override {
    return UpdateAgent("status",
                       "UPDATE agents SET status_received_at = $2, computer_name = $3, uptime_seconds = $4, "
                       "lock_cd_dvd = $5, lock_floppy = $6, status_word = $7, on_battery = $8, windows_version = $9, "
                       "last_seen = $2 WHERE agent_id = $1",
                       agent,
                       {Int(status.receivedAt), Bytea(status.computerName), Int(status.uptimeSeconds),
                        Text(status.lockCdDvd ? "true" : "false"), Text(status.lockFloppy ? "true" : "false"),
                        Int(status.statusWord), Text(status.onBattery ? "true" : "false"), Int(status.windowsVersion)});
  }

  StoreResult<ReportCursor> GetReportCursor(const AgentId& agent) override {
    if (auto refused = Reconnect<ReportCursor>()) return *refused;
    return ReadCursor(agent, false);
  }

  StoreResult<Done> RecordAnnouncedReportId(const AgentId& agent, int32_t announcedId) override {
    return UpdateAgent("announced", "UPDATE agents SET announced_report_id = $2 WHERE agent_id = $1", agent,
                       {Int(announcedId)});
  }

  StoreResult<std::size_t> StoreReportPage(const AgentId& agent, int64_t epoch, std::span<const ReportRowRecord> rows,
                                           int64_t now) override {
    if (auto refused = Refuse<std::size_t>()) return *refused;
    Transaction transaction(*db_);
    if (!transaction.Begin()) return Unavailable<std::size_t>("store report rows");
    // The agent's row locked first: pages of one agent from two sessions
    // are stored one after the other, each against the cursor the other left.
    const auto cursor = ReadCursor(agent, true);
    if (!cursor) return cursor.As<std::size_t>();
    if (cursor->epoch != epoch)
      return StoreResult<std::size_t>::Failure(
          StoreFailure::InvalidValue, "report rows of epoch " + std::to_string(epoch) + " for agent " +
                                          AgentIdHex(agent) + ", whose epoch is " + std::to_string(cursor->epoch));
    std::size_t stored = 0;
    int32_t highest = cursor->lastId;
    if (!rows.empty()) {
      std::vector<int64_t> ids, times, actions;
      std::vector<std::string> vendors, products, serials;
      for (const ReportRowRecord& row : rows) {
        ids.push_back(row.id);
        times.push_back(row.time);
        actions.push_back(row.action);
        vendors.push_back(row.vendor);
        products.push_back(row.product);
        serials.push_back(row.serial);
        highest = std::max(highest, row.id);
      }
      // One statement for the page: each row inserted unless its (agent,
      // epoch, id) is stored already.
      const Result inserted = db_->ExecPrepared(
          "store_page",
          "INSERT INTO reports (agent_id, epoch, id, time, vendor, product, serial, action, stored_at) "
          "SELECT $1::bytea, $2::bigint, r.id, r.time, r.vendor, r.product, r.serial, r.action, $3::bigint "
          "FROM unnest($4::integer[], $5::integer[], $6::bytea[], $7::bytea[], $8::bytea[], $9::integer[]) "
          "AS r (id, time, vendor, product, serial, action) ON CONFLICT DO NOTHING",
          {IdParam(agent), Int(epoch), Int(now), pg::IntArray(ids), pg::IntArray(times), pg::ByteaArray(vendors),
           pg::ByteaArray(products), pg::ByteaArray(serials), pg::IntArray(actions)});
      if (!inserted.ok()) return Unavailable<std::size_t>("store report rows", inserted);
      stored = inserted.Affected();
    }
    const Result raised =
        db_->ExecPrepared("raise_cursor", "UPDATE agents SET last_report_id = $2, last_seen = $3 WHERE agent_id = $1",
                          {IdParam(agent), Int(highest), Int(now)});
    if (!raised.ok() || !transaction.Commit()) return Unavailable<std::size_t>("store report rows", raised);
    return stored;
  }

  StoreResult<ReportCursor> StartReportEpoch(const AgentId& agent, int64_t fromEpoch, int64_t now) override {
    if (auto refused = Refuse<ReportCursor>()) return *refused;
    const Result moved = db_->Exec(
        "UPDATE agents SET report_epoch = report_epoch + 1, last_report_id = 0, last_seen = $3 "
        "WHERE agent_id = $1 AND report_epoch = $2 RETURNING report_epoch, last_report_id",
        {IdParam(agent), Int(fromEpoch), Int(now)});
    if (!moved.ok()) return Unavailable<ReportCursor>("start a report epoch", moved);
    if (moved.Rows() == 1) return ReportCursor{moved.Int(0, 0), static_cast<int32_t>(moved.Int(0, 1))};
    return ReadCursor(agent, false);  // another session moved it, or the agent is unknown
  }

  StoreResult<Done> RecordPolicyState(const AgentId& agent, const AgentPolicyState& state) override {
    auto optional = [](const std::optional<uint32_t>& value) { return value ? Int(*value) : Null(); };
    return UpdateAgent("policy_state",
                       "UPDATE agents SET policy_sync = $2, held_digest = $3, expected_digest = $4, policy_tries = $5, "
                       "policy_checked_at = $6 WHERE agent_id = $1",
                       agent,
                       {Text(PolicySyncName(state.sync)), optional(state.heldDigest), optional(state.expectedDigest),
                        Int(state.tries), Int(state.checkedAt)});
  }

  StoreResult<UpdateClaim> ClaimNextUpdate(const AgentId& agent, int64_t instanceId, int64_t) override {
    if (auto refused = Refuse<UpdateClaim>()) return *refused;
    Transaction transaction(*db_);
    if (!transaction.Begin()) return Unavailable<UpdateClaim>("claim a queued update");
    // The oldest waiting update, locked: another instance claiming it at the
    // same moment waits here, then finds it claimed.
    const Result next = db_->ExecPrepared("next_update",
                                          "SELECT update_id, claimed_by FROM updates WHERE agent_id = $1 AND "
                                          "delivered_at IS NULL ORDER BY update_id LIMIT 1 FOR UPDATE",
                                          {IdParam(agent)});
    if (!next.ok()) return Unavailable<UpdateClaim>("claim a queued update", next);
    UpdateClaim claim;
    if (next.Rows() == 0) return claim;
    if (!next.IsNull(0, 1) && next.Int(0, 1) != instanceId) {
      claim.heldElsewhere = true;
      return claim;
    }
    const int64_t updateId = next.Int(0, 0);
    const Result marked = db_->ExecPrepared(
        "claim_update",
        "UPDATE updates u SET claimed_by = $2 FROM update_files f WHERE u.update_id = $1 AND f.file_id = u.file_id "
        "RETURNING u.update_id, u.agent_id, f.name, f.size, u.queued_at, u.delivered_at",
        {Int(updateId), Int(instanceId)});
    if (!marked.ok() || marked.Rows() != 1 || !transaction.Commit())
      return Unavailable<UpdateClaim>("claim a queued update", marked);
    claim.update = UpdateFrom(marked, 0);
    return claim;
  }

  StoreResult<Done> ReleaseUpdate(int64_t updateId, int64_t instanceId) override {
    if (auto refused = Refuse<Done>()) return *refused;
    const Result release = db_->Exec("UPDATE updates SET claimed_by = NULL WHERE update_id = $1 AND claimed_by = $2",
                                     {Int(updateId), Int(instanceId)});
    if (!release.ok()) return Unavailable<Done>("release an update", release);
    return Done{};
  }

  StoreResult<Done> ReadUpdateChunk(int64_t updateId, uint32_t offset, std::span<uint8_t> out) override {
    if (auto refused = Reconnect<Done>()) return *refused;
    const Result size = db_->ExecPrepared("update_size",
                                          "SELECT f.size FROM updates u JOIN update_files f USING (file_id) "
                                          "WHERE u.update_id = $1 AND u.delivered_at IS NULL",
                                          {Int(updateId)});
    if (!size.ok()) return Unavailable<Done>("read an update", size);
    if (size.Rows() == 0)
      return StoreResult<Done>::Failure(
          StoreFailure::NotFound, "update " + std::to_string(updateId) + " is not queued (delivered or cancelled)");
    if (static_cast<int64_t>(offset) + static_cast<int64_t>(out.size()) > size.Int(0, 0))
      return StoreResult<Done>::Failure(StoreFailure::InvalidValue,
                                        "a read past the end of update " + std::to_string(updateId));
    if (out.empty()) return Done{};
    const Result chunk = db_->Exec(
        "SELECT substring(f.content FROM $2 FOR $3) FROM updates u JOIN update_files f USING (file_id) "
        "WHERE u.update_id = $1",
        {Int(updateId), Int(static_cast<int64_t>(offset) + 1), Int(static_cast<int64_t>(out.size()))}, true);
    if (!chunk.ok() || chunk.Rows() != 1) return Unavailable<Done>("read an update", chunk);
    const std::string bytes = chunk.Bytes(0, 0);
    if (bytes.size() != out.size()) return Unavailable<Done>("read an update (its content was released)");
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return Done{};
  }

  StoreResult<Done> MarkUpdateDelivered(int64_t updateId, int64_t now) override {
    if (auto refused = Refuse<Done>()) return *refused;
    Transaction transaction(*db_);
    if (!transaction.Begin()) return Unavailable<Done>("record a delivery");
    const Result marked = db_->Exec(
        "UPDATE updates SET delivered_at = $2 WHERE update_id = $1 AND delivered_at IS NULL RETURNING file_id",
        {Int(updateId), Int(now)});
    if (!marked.ok()) return Unavailable<Done>("record a delivery", marked);
    if (marked.Rows() == 0)
      return StoreResult<Done>::Failure(
          StoreFailure::NotFound, "update " + std::to_string(updateId) + " is not queued (delivered or cancelled)");
    if (!ReleaseContentOfFile(marked.Int(0, 0)) || !transaction.Commit()) return Unavailable<Done>("record a delivery");
    return Done{};
  }

  StoreResult<uint64_t> ChangeCounter() override {
    if (auto refused = Reconnect<uint64_t>()) return *refused;
    const Result counter = db_->ExecPrepared("change_counter", "SELECT value FROM change_counter WHERE one = 1", {});
    if (!counter.ok() || counter.Rows() != 1) return Unavailable<uint64_t>("read the change counter", counter);
    return static_cast<uint64_t>(counter.Int(0, 0));
  }

  StoreResult<SessionView> ReadSessionView() override {
    if (auto refused = Reconnect<SessionView>()) return *refused;
    SessionView view;
    const Result assignments = db_->Exec(std::string(kAssignmentColumns));
    if (!assignments.ok()) return Unavailable<SessionView>("read the assignments", assignments);
    for (int row = 0; row < assignments.Rows(); ++row) {
      const std::string scope = assignments.Bytes(row, 0);
      if (scope == kFleetScope)
        view.fleet = PolicyFrom(assignments, row);
      else
        view.own.emplace(IdFromBytes(scope), PolicyFrom(assignments, row));
    }
    const Result agents = db_->Exec("SELECT agent_id, enrollment FROM agents WHERE enrollment <> 'approved'");
    if (!agents.ok()) return Unavailable<SessionView>("read the enrollments", agents);
    for (int row = 0; row < agents.Rows(); ++row)
      view.notApproved.emplace(IdFromBytes(agents.Bytes(row, 0)),
                               ParseEnrollment(agents.Text(row, 1)).value_or(Enrollment::Revoked));
    const Result updates = db_->Exec("SELECT DISTINCT agent_id FROM updates WHERE delivered_at IS NULL");
    if (!updates.ok()) return Unavailable<SessionView>("read the queued updates", updates);
    for (int row = 0; row < updates.Rows(); ++row) view.waitingUpdates.insert(IdFromBytes(updates.Bytes(row, 0)));
    return view;
  }

  // ---- Agent sessions and administration ----------------------------------

  StoreResult<PolicyAssignment> AssignedPolicy(const AgentId& agent) override {
    if (auto refused = Reconnect<PolicyAssignment>()) return *refused;
    const Result result = db_->ExecPrepared(
        "assigned_policy", std::string(kAssignmentColumns) + " WHERE scope IN ($1, $2) ORDER BY scope = $2 LIMIT 1",
        {IdParam(agent), Bytea(kFleetScope)});
    if (!result.ok()) return Unavailable<PolicyAssignment>("read a policy assignment", result);
    if (result.Rows() == 0) return PolicyAssignment{};
    PolicyAssignment assignment;
    assignment.source = result.Bytes(0, 0) == kFleetScope ? PolicySource::Fleet : PolicySource::Agent;
    assignment.policy = PolicyFrom(result, 0);
    assignment.changedAt = result.Int(0, 9);
    return assignment;
  }

  StoreResult<AgentRecord> FindAgent(const AgentId& agent) override {
    if (auto refused = Reconnect<AgentRecord>()) return *refused;
    const Result result =
        db_->ExecPrepared("find_agent", std::string(kAgentColumns) + " WHERE agent_id = $1", {IdParam(agent)});
    if (!result.ok()) return Unavailable<AgentRecord>("read an agent", result);
    if (result.Rows() == 0) return NotFound<AgentRecord>(agent);
    return AgentFrom(result, 0);
  }

  // ---- Administration -------------------------------------------------------

  StoreResult<std::vector<AgentRecord>> ListAgents() override {
    if (auto refused = Reconnect<std::vector<AgentRecord>>()) return *refused;
    const Result result = db_->Exec(std::string(kAgentColumns) + " ORDER BY agent_id");
    if (!result.ok()) return Unavailable<std::vector<AgentRecord>>("list the agents", result);
    std::vector<AgentRecord> agents;
    agents.reserve(static_cast<std::size_t>(result.Rows()));
    for (int row = 0; row < result.Rows(); ++row) agents.push_back(AgentFrom(result, row));
    return agents;
  }

  StoreResult<Done> SetEnrollment(const AgentId& agent, Enrollment enrollment, int64_t) override {
    if (auto refused = Refuse<Done>()) return *refused;
    Transaction transaction(*db_);
    if (!transaction.Begin()) return Unavailable<Done>("change agent " + AgentIdHex(agent));
    const Result update = db_->Exec("UPDATE agents SET enrollment = $2 WHERE agent_id = $1",
                                    {IdParam(agent), Text(EnrollmentName(enrollment))});
    if (!update.ok()) return Unavailable<Done>("change agent " + AgentIdHex(agent), update);
    if (update.Affected() == 0) return NotFound<Done>(agent);
    if (!BumpChangeCounter() || !transaction.Commit()) return Unavailable<Done>("change agent " + AgentIdHex(agent));
    return Done{};
  }

  StoreResult<std::vector<StoredReport>> ListReports(const ReportQuery& query) override {
    if (auto refused = Reconnect<std::vector<StoredReport>>()) return *refused;
    std::string sql =
        "SELECT agent_id, epoch, id, time, vendor, product, serial, action, stored_at FROM reports WHERE true";
    std::vector<Param> params;
    auto add = [&](Param param) {
      params.push_back(std::move(param));
      return "$" + std::to_string(params.size());
    };
    if (query.agent) sql += " AND agent_id = " + add(IdParam(*query.agent));
    if (query.epoch) sql += " AND epoch = " + add(Int(*query.epoch));
    if (query.afterId) sql += " AND id > " + add(Int(*query.afterId));
    if (query.sinceTime) sql += " AND time >= " + add(Int(*query.sinceTime));
    if (query.beforeTime) sql += " AND time < " + add(Int(*query.beforeTime));
    if (query.verdict) sql += " AND action = " + add(Int(*query.verdict)) + " AND NOT " + std::string(kDriveLockRow);
    if (query.newestTimeFirst) {
      if (query.olderThan) {
        const ReportPlace& place = *query.olderThan;
        const std::string t = add(Int(place.time)), a = add(IdParam(place.agent)), e = add(Int(place.epoch)),
                          i = add(Int(place.id));
        sql += " AND (time, agent_id, epoch, id) < (" + t + "::integer, " + a + "::bytea, " + e + "::bigint, " + i +
               "::integer)";
      }
      sql += " ORDER BY time DESC, agent_id DESC, epoch DESC, id DESC";
    } else {
      sql += query.newestFirst ? " ORDER BY agent_id DESC, epoch DESC, id DESC" : " ORDER BY agent_id, epoch, id";
    }
    sql += " LIMIT " + add(Int(static_cast<int64_t>(std::min<std::size_t>(query.limit, INT64_MAX))));
    const Result result = db_->Exec(sql, params);
    if (!result.ok()) return Unavailable<std::vector<StoredReport>>("list report rows", result);
    std::vector<StoredReport> reports;
    reports.reserve(static_cast<std::size_t>(result.Rows()));
    for (int row = 0; row < result.Rows(); ++row) {
      StoredReport report;
      report.agent = IdFromBytes(result.Bytes(row, 0));
      report.epoch = result.Int(row, 1);
      report.row.id = static_cast<int32_t>(result.Int(row, 2));
      report.row.time = static_cast<int32_t>(result.Int(row, 3));
      report.row.vendor = result.Bytes(row, 4);
      report.row.product = result.Bytes(row, 5);
      report.row.serial = result.Bytes(row, 6);
      report.row.action = static_cast<int32_t>(result.Int(row, 7));
      report.storedAt = result.Int(row, 8);
      reports.push_back(std::move(report));
    }
    return reports;
  }

  StoreResult<uint64_t> CountReports(std::optional<AgentId> agent) override {
    if (auto refused = Reconnect<uint64_t>()) return *refused;
    const Result result = agent ? db_->Exec("SELECT count(*) FROM reports WHERE agent_id = $1", {IdParam(*agent)})
                                : db_->Exec("SELECT count(*) FROM reports");
    if (!result.ok() || result.Rows() != 1) return Unavailable<uint64_t>("count report rows", result);
    return static_cast<uint64_t>(result.Int(0, 0));
  }

  StoreResult<std::vector<ReportSlotCount>> CountReportsBySlot(const ReportCountQuery& query) override {
    using Output = StoreResult<std::vector<ReportSlotCount>>;
    if (query.slotSeconds < 1) return Output::Failure(StoreFailure::InvalidValue, "a time slot lasts 1 second or more");
    if (auto refused = Reconnect<std::vector<ReportSlotCount>>()) return *refused;
    std::string sql = "SELECT (time - $1::bigint) / $2::bigint AS slot, " + std::string(kDriveLockRow) +
                      " AS lock, action, count(*) FROM reports WHERE time >= $1::bigint AND time < $3::bigint";
    std::vector<Param> params = {Int(query.sinceTime), Int(query.slotSeconds), Int(query.beforeTime)};
    if (query.agent) {
      sql += " AND agent_id = $4::bytea";
      params.push_back(IdParam(*query.agent));
    }
    sql += " GROUP BY slot, lock, action ORDER BY slot, lock, action";
    const Result result = db_->Exec(sql, params);
    if (!result.ok()) return Unavailable<std::vector<ReportSlotCount>>("count report rows", result);
    std::vector<ReportSlotCount> counts;
    for (int row = 0; row < result.Rows(); ++row)
      counts.push_back({result.Int(row, 0), result.Bool(row, 1), static_cast<int32_t>(result.Int(row, 2)),
                        static_cast<uint64_t>(result.Int(row, 3))});
    return counts;
  }

  StoreResult<std::optional<ParentPolicy>> GetFleetPolicy() override { return ReadAssignment(kFleetScope); }

  StoreResult<std::optional<ParentPolicy>> GetAgentPolicy(const AgentId& agent) override {
    return ReadAssignment(IdView(agent));
  }

  StoreResult<Done> SetFleetPolicy(const ParentPolicy& policy, int64_t now) override {
    return WriteAssignment(kFleetScope, nullptr, policy, now);
  }
  StoreResult<Done> ClearFleetPolicy(int64_t) override { return DeleteAssignment(kFleetScope, nullptr); }
  StoreResult<Done> SetAgentPolicy(const AgentId& agent, const ParentPolicy& policy, int64_t now) override {
    return WriteAssignment(IdView(agent), &agent, policy, now);
  }
  StoreResult<Done> ClearAgentPolicy(const AgentId& agent, int64_t) override {
    return DeleteAssignment(IdView(agent), &agent);
  }

  StoreResult<std::vector<int64_t>> QueueUpdate(std::span<const AgentId> agents, const std::string& name,
                                                std::span<const uint8_t> content, int64_t now) override {
    using Output = StoreResult<std::vector<int64_t>>;
    if (auto refused = Refuse<std::vector<int64_t>>()) return *refused;
    if (agents.empty()) return Output::Failure(StoreFailure::InvalidValue, "an update needs at least one agent");
    if (content.size() > kMaxUpdateSize)
      return Output::Failure(StoreFailure::InvalidValue, "the installer has " + std::to_string(content.size()) +
                                                             " bytes; at most " + std::to_string(kMaxUpdateSize) +
                                                             " can be queued");
    Transaction transaction(*db_);
    if (!transaction.Begin()) return Unavailable<std::vector<int64_t>>("queue an update");
    std::vector<std::string> ids;
    ids.reserve(agents.size());
    for (const AgentId& agent : agents) ids.emplace_back(IdView(agent));
    // Every agent named must have said hello.
    const Result known = db_->Exec(
        "SELECT a.id FROM unnest($1::bytea[]) AS a (id) WHERE NOT EXISTS (SELECT 1 FROM agents WHERE agent_id = a.id) "
        "LIMIT 1",
        {pg::ByteaArray(ids)});
    if (!known.ok()) return Unavailable<std::vector<int64_t>>("queue an update", known);
    if (known.Rows() != 0) return NotFound<std::vector<int64_t>>(IdFromBytes(known.Bytes(0, 0)));
    const Result file =
        db_->Exec("INSERT INTO update_files (name, size, content) VALUES ($1, $2, $3) RETURNING file_id",
                  {Bytea(name), Int(static_cast<int64_t>(content.size())), pg::BinaryBytea(content)});
    if (!file.ok() || file.Rows() != 1) return Unavailable<std::vector<int64_t>>("queue an update", file);
    // In the order given, each agent its own update id.
    const Result queued = db_->Exec(
        "INSERT INTO updates (agent_id, file_id, queued_at) SELECT a.id, $2::bigint, $3::bigint "
        "FROM unnest($1::bytea[]) WITH ORDINALITY AS a (id, n) ORDER BY a.n RETURNING update_id",
        {pg::ByteaArray(ids), Int(file.Int(0, 0)), Int(now)});
    if (!queued.ok() || queued.Rows() != static_cast<int>(agents.size()))
      return Unavailable<std::vector<int64_t>>("queue an update", queued);
    std::vector<int64_t> updateIds;
    for (int row = 0; row < queued.Rows(); ++row) updateIds.push_back(queued.Int(row, 0));
    // Identity values rise in insertion order; sorted, they follow the agents given.
    std::sort(updateIds.begin(), updateIds.end());
    if (!BumpChangeCounter() || !transaction.Commit()) return Unavailable<std::vector<int64_t>>("queue an update");
    return updateIds;
  }

  StoreResult<Done> CancelUpdate(int64_t updateId, int64_t) override {
    if (auto refused = Refuse<Done>()) return *refused;
    Transaction transaction(*db_);
    if (!transaction.Begin()) return Unavailable<Done>("cancel an update");
    const Result removed = db_->Exec(
        "DELETE FROM updates WHERE update_id = $1 AND delivered_at IS NULL RETURNING file_id", {Int(updateId)});
    if (!removed.ok()) return Unavailable<Done>("cancel an update", removed);
    if (removed.Rows() == 0)
      return StoreResult<Done>::Failure(StoreFailure::NotFound, "update " + std::to_string(updateId) +
                                                                    " is not queued (delivered, cancelled or unknown)");
    const int64_t fileId = removed.Int(0, 0);
    const Result dropFile = db_->Exec(
        "DELETE FROM update_files WHERE file_id = $1 AND NOT EXISTS (SELECT 1 FROM updates WHERE file_id = $1)",
        {Int(fileId)});
    if (!dropFile.ok() || !ReleaseContentOfFile(fileId) || !BumpChangeCounter() || !transaction.Commit())
      return Unavailable<Done>("cancel an update", dropFile);
    return Done{};
  }

  StoreResult<std::vector<UpdateRecord>> ListUpdates(std::optional<AgentId> agent) override {
    if (auto refused = Reconnect<std::vector<UpdateRecord>>()) return *refused;
    const Result result =
        agent ? db_->Exec(std::string(kUpdateColumns) + std::string(kUpdatesJoined) +
                              " WHERE u.agent_id = $1 ORDER BY u.update_id",
                          {IdParam(*agent)})
              : db_->Exec(std::string(kUpdateColumns) + std::string(kUpdatesJoined) + " ORDER BY u.update_id");
    if (!result.ok()) return Unavailable<std::vector<UpdateRecord>>("list the updates", result);
    std::vector<UpdateRecord> updates;
    for (int row = 0; row < result.Rows(); ++row) updates.push_back(UpdateFrom(result, row));
    return updates;
  }

  StoreResult<int64_t> AddApiToken(const std::string& name, const ApiTokenHash& hash, int64_t now) override {
    if (auto refused = Refuse<int64_t>()) return *refused;
    if (name.size() > kMaxApiTokenName)
      return StoreResult<int64_t>::Failure(StoreFailure::InvalidValue,
                                           "a token name holds at most " + std::to_string(kMaxApiTokenName) + " bytes");
    for (const char c : name)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
        return StoreResult<int64_t>::Failure(StoreFailure::InvalidValue, "a token name holds no control character");
    const Result inserted =
        db_->Exec("INSERT INTO api_tokens (name, hash, created_at) VALUES ($1, $2, $3) RETURNING token_id",
                  {Bytea(name), Bytea(std::span<const uint8_t>(hash)), Int(now)});
    if (inserted.State() == "23505")  // unique_violation: the hash
      return StoreResult<int64_t>::Failure(StoreFailure::InvalidValue, "a token with that hash is stored already");
    if (!inserted.ok() || inserted.Rows() != 1) return Unavailable<int64_t>("add a token", inserted);
    return inserted.Int(0, 0);
  }

  StoreResult<std::vector<ApiTokenRecord>> ListApiTokens() override {
    if (auto refused = Reconnect<std::vector<ApiTokenRecord>>()) return *refused;
    const Result result = db_->ExecPrepared(
        "list_tokens", "SELECT token_id, name, hash, created_at, revoked_at FROM api_tokens ORDER BY token_id", {});
    if (!result.ok()) return Unavailable<std::vector<ApiTokenRecord>>("list the tokens", result);
    std::vector<ApiTokenRecord> tokens;
    for (int row = 0; row < result.Rows(); ++row) {
      ApiTokenRecord token;
      token.tokenId = result.Int(row, 0);
      token.name = result.Bytes(row, 1);
      const std::string hash = result.Bytes(row, 2);
      std::copy_n(hash.begin(), std::min(hash.size(), token.hash.size()), token.hash.begin());
      token.createdAt = result.Int(row, 3);
      token.revokedAt = result.OptionalInt(row, 4);
      tokens.push_back(std::move(token));
    }
    return tokens;
  }

  StoreResult<Done> RevokeApiToken(int64_t tokenId, int64_t now) override {
    if (auto refused = Refuse<Done>()) return *refused;
    const Result update = db_->Exec("UPDATE api_tokens SET revoked_at = $2 WHERE token_id = $1 AND revoked_at IS NULL",
                                    {Int(tokenId), Int(now)});
    if (!update.ok()) return Unavailable<Done>("revoke a token", update);
    if (update.Affected() == 0)
      return StoreResult<Done>::Failure(StoreFailure::NotFound,
                                        "token " + std::to_string(tokenId) + " is not in use (unknown or revoked)");
    return Done{};
  }

 private:
  // A drive lock row (IsDriveLockRow): vendor and serial "-".
  static constexpr std::string_view kDriveLockRow = "(vendor = '\\x2d'::bytea AND serial = '\\x2d'::bytea)";

  template <typename T>
  StoreResult<T> Unavailable(const std::string& what, const Result& result = Result()) const {
    std::string reason = result.Error();
    if (reason.rfind("no result", 0) == 0) reason = db_->ErrorMessage();
    return StoreResult<T>::Failure(StoreFailure::Unavailable, "cannot " + what + " in " + shown_ + ": " + reason);
  }

  template <typename T>
  static StoreResult<T> NotFound(const AgentId& agent) {
    return StoreResult<T>::Failure(StoreFailure::NotFound, "no agent " + AgentIdHex(agent) + " in the store");
  }

  // The connection, made again when it was lost (a restarted database):
  // nothing is done on a connection that is not there.
  template <typename T>
  std::optional<StoreResult<T>> Reconnect() {
    if (db_->EnsureOpen()) return std::nullopt;
    return StoreResult<T>::Failure(StoreFailure::Unavailable, "cannot reach " + shown_ + ": " + db_->ErrorMessage());
  }

  // For a write: refused on a store opened for reading, else Reconnect.
  template <typename T>
  std::optional<StoreResult<T>> Refuse() {
    if (options_.readOnly)
      return StoreResult<T>::Failure(StoreFailure::Unavailable, "the store " + shown_ + " is open for reading only");
    return Reconnect<T>();
  }

  // Runs one prepared UPDATE of an agent's row ($1 is the agent id);
  // NotFound when no row matched.
  StoreResult<Done> UpdateAgent(const char* name, std::string_view sql, const AgentId& agent,
                                std::vector<Param> params) {
    if (auto refused = Refuse<Done>()) return *refused;
    params.insert(params.begin(), IdParam(agent));
    const Result update = db_->ExecPrepared(name, sql, params);
    if (!update.ok()) return Unavailable<Done>("update agent " + AgentIdHex(agent), update);
    if (update.Affected() == 0) return NotFound<Done>(agent);
    return Done{};
  }

  // The change counter, and the NOTIFY that wakes every serve listening; the
  // notification goes out when the transaction commits, and never if it
  // does not.
  [[nodiscard]] bool BumpChangeCounter() {
    return db_->Exec("UPDATE change_counter SET value = value + 1 WHERE one = 1").ok() &&
           db_->Exec(std::string("SELECT pg_notify('") + kChangeChannel + "', '')").ok();
  }

  // Ends the running instances that `where` picks (its parameters from $1),
  // clearing their agents' connection marks and their update claims.
  [[nodiscard]] bool EndInstances(const std::string& where, std::vector<Param> params, int64_t now) {
    const std::string picked = "SELECT instance_id FROM instances WHERE ended_at IS NULL AND (" + where + ")";
    if (!db_->Exec("UPDATE agents SET instance_id = NULL WHERE instance_id IN (" + picked + ")", params).ok() ||
        !db_->Exec("UPDATE updates SET claimed_by = NULL WHERE claimed_by IN (" + picked + ")", params).ok())
      return false;
    params.push_back(Int(now));
    return db_
        ->Exec("UPDATE instances SET ended_at = $" + std::to_string(params.size()) + " WHERE ended_at IS NULL AND (" +
                   where + ")",
               params)
        .ok();
  }

  StoreResult<std::vector<InstanceRecord>> SelectInstances(const std::string& where, const std::vector<Param>& params) {
    const Result result = db_->Exec(
        "SELECT i.instance_id, i.host, i.listen, i.pid, i.started_at, i.heartbeat_at, i.ended_at, "
        "(SELECT count(*) FROM agents a WHERE a.instance_id = i.instance_id) FROM instances i" +
            where + (where.find("FOR UPDATE") == std::string::npos ? " ORDER BY i.instance_id" : ""),
        params);
    if (!result.ok()) return Unavailable<std::vector<InstanceRecord>>("list the instances", result);
    std::vector<InstanceRecord> instances;
    for (int row = 0; row < result.Rows(); ++row) {
      InstanceRecord instance;
      instance.instanceId = result.Int(row, 0);
      instance.info = InstanceInfo{result.Text(row, 1), result.Text(row, 2), result.Int(row, 3)};
      instance.startedAt = result.Int(row, 4);
      instance.heartbeatAt = result.Int(row, 5);
      instance.endedAt = result.OptionalInt(row, 6);
      instance.agents = static_cast<uint64_t>(result.Int(row, 7));
      instances.push_back(std::move(instance));
    }
    std::sort(instances.begin(), instances.end(),
              [](const InstanceRecord& a, const InstanceRecord& b) { return a.instanceId < b.instanceId; });
    return instances;
  }

  StoreResult<ReportCursor> ReadCursor(const AgentId& agent, bool lock) {
    const Result result =
        lock ? db_->ExecPrepared("cursor_locked",
                                 "SELECT report_epoch, last_report_id FROM agents WHERE agent_id = $1 FOR UPDATE",
                                 {IdParam(agent)})
             : db_->ExecPrepared("cursor", "SELECT report_epoch, last_report_id FROM agents WHERE agent_id = $1",
                                 {IdParam(agent)});
    if (!result.ok()) return Unavailable<ReportCursor>("read a report cursor", result);
    if (result.Rows() == 0) return NotFound<ReportCursor>(agent);
    return ReportCursor{result.Int(0, 0), static_cast<int32_t>(result.Int(0, 1))};
  }

  static ParentPolicy PolicyFrom(const Result& r, int row) {
    ParentPolicy policy;
    policy.ruleUsb__Parent = r.Bytes(row, 1);
    policy.ruleUsb__Lock = static_cast<uint8_t>(r.Int(row, 2));
    policy.lockCdDvd__Parent = static_cast<uint8_t>(r.Int(row, 3));
    policy.lockCdDvd__Lock = static_cast<uint8_t>(r.Int(row, 4));
    policy.password__Parent = r.Bytes(row, 5);
    policy.password__Lock = static_cast<uint8_t>(r.Int(row, 6));
    policy.lockFloppy__Parent = static_cast<uint8_t>(r.Int(row, 7));
    policy.lockFloppy__Lock = static_cast<uint8_t>(r.Int(row, 8));
    return policy;
  }

  StoreResult<std::optional<ParentPolicy>> ReadAssignment(std::string_view scope) {
    if (auto refused = Reconnect<std::optional<ParentPolicy>>()) return *refused;
    const Result result = db_->Exec(std::string(kAssignmentColumns) + " WHERE scope = $1", {Bytea(scope)});
    if (!result.ok()) return Unavailable<std::optional<ParentPolicy>>("read a policy assignment", result);
    if (result.Rows() == 0) return std::optional<ParentPolicy>();
    return std::optional<ParentPolicy>(PolicyFrom(result, 0));
  }

  [[nodiscard]] StoreResult<bool> AgentExists(const AgentId& agent) {
    const Result result = db_->Exec("SELECT 1 FROM agents WHERE agent_id = $1", {IdParam(agent)});
    if (!result.ok()) return Unavailable<bool>("read an agent", result);
    return result.Rows() == 1;
  }

  StoreResult<Done> WriteAssignment(std::string_view scope, const AgentId* agent, const ParentPolicy& policy,
                                    int64_t now) {
    if (auto refused = Refuse<Done>()) return *refused;
    if (auto problem = AssignmentProblem(policy))
      return StoreResult<Done>::Failure(StoreFailure::InvalidValue, *problem);
    Transaction transaction(*db_);
    if (!transaction.Begin()) return Unavailable<Done>("set a policy assignment");
    if (agent) {
      const auto known = AgentExists(*agent);
      if (!known) return known.As<Done>();
      if (!*known) return NotFound<Done>(*agent);
    }
    const Result write = db_->Exec(
        "INSERT INTO policy_assignments (scope, rule_usb_parent, rule_usb_lock, lock_cd_dvd_parent, lock_cd_dvd_lock, "
        "password_parent, password_lock, lock_floppy_parent, lock_floppy_lock, changed_at) "
        "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) ON CONFLICT (scope) DO UPDATE SET "
        "rule_usb_parent = EXCLUDED.rule_usb_parent, rule_usb_lock = EXCLUDED.rule_usb_lock, "
        "lock_cd_dvd_parent = EXCLUDED.lock_cd_dvd_parent, lock_cd_dvd_lock = EXCLUDED.lock_cd_dvd_lock, "
        "password_parent = EXCLUDED.password_parent, password_lock = EXCLUDED.password_lock, "
        "lock_floppy_parent = EXCLUDED.lock_floppy_parent, lock_floppy_lock = EXCLUDED.lock_floppy_lock, "
        "changed_at = EXCLUDED.changed_at",
        {Bytea(scope), Bytea(policy.ruleUsb__Parent), Int(policy.ruleUsb__Lock), Int(policy.lockCdDvd__Parent),
         Int(policy.lockCdDvd__Lock), Bytea(policy.password__Parent), Int(policy.password__Lock),
         Int(policy.lockFloppy__Parent), Int(policy.lockFloppy__Lock), Int(now)});
    if (!write.ok() || !BumpChangeCounter() || !transaction.Commit())
      return Unavailable<Done>("set a policy assignment", write);
    return Done{};
  }

  StoreResult<Done> DeleteAssignment(std::string_view scope, const AgentId* agent) {
    if (auto refused = Refuse<Done>()) return *refused;
    Transaction transaction(*db_);
    if (!transaction.Begin()) return Unavailable<Done>("clear a policy assignment");
    if (agent) {
      const auto known = AgentExists(*agent);
      if (!known) return known.As<Done>();
      if (!*known) return NotFound<Done>(*agent);
    }
    const Result remove = db_->Exec("DELETE FROM policy_assignments WHERE scope = $1", {Bytea(scope)});
    if (!remove.ok() || !BumpChangeCounter() || !transaction.Commit())
      return Unavailable<Done>("clear a policy assignment", remove);
    return Done{};
  }

  // A delivered or cancelled update's file keeps its name and size for the
  // record, but its content only while some agent still waits for it.
  [[nodiscard]] bool ReleaseContentOfFile(int64_t fileId) {
    return db_
        ->Exec(
            "UPDATE update_files SET content = ''::bytea WHERE file_id = $1 AND NOT EXISTS "
            "(SELECT 1 FROM updates WHERE file_id = $1 AND delivered_at IS NULL)",
            {Int(fileId)})
        .ok();
  }

  static UpdateRecord UpdateFrom(const Result& r, int row) {
    UpdateRecord update;
    update.updateId = r.Int(row, 0);
    update.agent = IdFromBytes(r.Bytes(row, 1));
    update.name = r.Bytes(row, 2);
    update.size = static_cast<uint32_t>(r.Int(row, 3));
    update.queuedAt = r.Int(row, 4);
    update.deliveredAt = r.OptionalInt(row, 5);
    return update;
  }

  static AgentRecord AgentFrom(const Result& r, int row) {
    AgentRecord agent;
    agent.id = IdFromBytes(r.Bytes(row, 0));
    agent.enrollment = ParseEnrollment(r.Text(row, 1)).value_or(Enrollment::Revoked);
    agent.address = r.Text(row, 2);
    agent.firstSeen = r.Int(row, 3);
    agent.lastSeen = r.Int(row, 4);
    agent.instanceId = r.OptionalInt(row, 5);
    agent.connected = agent.instanceId.has_value();
    agent.reports = ReportCursor{r.Int(row, 6), static_cast<int32_t>(r.Int(row, 7))};
    agent.announcedReportId = static_cast<int32_t>(r.Int(row, 8));
    if (!r.IsNull(row, 9)) {
      AgentStatus status;
      status.receivedAt = r.Int(row, 9);
      status.computerName = r.Bytes(row, 10);
      status.uptimeSeconds = static_cast<uint32_t>(r.Int(row, 11));
      status.lockCdDvd = r.Bool(row, 12);
      status.lockFloppy = r.Bool(row, 13);
      status.statusWord = static_cast<uint32_t>(r.Int(row, 14));
      status.onBattery = r.Bool(row, 15);
      status.windowsVersion = static_cast<uint32_t>(r.Int(row, 16));
      agent.status = status;
    }
    agent.policy.sync = PolicySyncOfStoredName(r.Text(row, 17));
    if (!r.IsNull(row, 18)) agent.policy.heldDigest = static_cast<uint32_t>(r.Int(row, 18));
    if (!r.IsNull(row, 19)) agent.policy.expectedDigest = static_cast<uint32_t>(r.Int(row, 19));
    agent.policy.tries = static_cast<int>(r.Int(row, 20));
    agent.policy.checkedAt = r.Int(row, 21);
    return agent;
  }

  std::unique_ptr<pg::Connection> db_;
  const std::string url_;
  const std::string shown_;
  const StoreOpenOptions options_;
};

// Brings the schema to this program's version, or refuses a database it
// cannot use. An error text, empty when the store is ready; `missing` is set
// when the database holds no store at all (a read-only open is then
// NotFound).
std::string Migrate(pg::Connection& db, const std::string& shown, bool readOnly, bool& missing) {
  const auto migrations = PostgresMigrations();
  const int newest = migrations.back().version;
  Transaction transaction(db);
  if (!transaction.Begin()) return "cannot read " + shown + ": " + db.ErrorMessage();
  // Instances that start together: one migrates, the others wait here and
  // then find the schema current. A read-only open takes no lock.
  if (!readOnly) {
    const Result locked = db.Exec("SELECT pg_advisory_xact_lock($1)", {Int(kMigrationLock)});
    if (!locked.ok()) return "cannot lock " + shown + " to bring its schema up to date: " + locked.Error();
  }
  const Result tables = db.Exec(
      "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() "
      "AND table_type = 'BASE TABLE'");
  if (!tables.ok()) return "cannot read " + shown + ": " + tables.Error();
  bool hasVersion = false, hasOthers = false;
  for (int row = 0; row < tables.Rows(); ++row)
    (tables.Text(row, 0) == "schema_version" ? hasVersion : hasOthers) = true;
  int version = 0;
  if (hasVersion) {
    const Result select = db.Exec("SELECT version FROM schema_version");
    if (!select.ok() || select.Rows() != 1) return "cannot read the schema version of " + shown + ": " + select.Error();
    version = static_cast<int>(select.Int(0, 0));
  } else if (hasOthers) {
    return shown +
           " holds tables of another program (it has no schema_version table): give vxmgmtd a database of "
           "its own";
  }
  if (version > newest)
    return "the store " + shown + " has schema version " + std::to_string(version) + ", newer than this program's " +
           std::to_string(newest) + ": it was written by a newer vxmgmtd; use that";
  if (version == newest) return {};
  if (readOnly) {
    missing = version == 0;
    if (missing) return "there is no store in " + shown;
    return "the store " + shown + " has schema version " + std::to_string(version) + ", older than " +
           std::to_string(newest) + ": open it once for writing (vxmgmtd serve) to bring it up to date";
  }
  for (const PostgresMigration& migration : migrations) {
    if (migration.version <= version) continue;
    const bool ok = (version != 0 || db.Exec("CREATE TABLE schema_version (version integer NOT NULL); "
                                             "INSERT INTO schema_version (version) VALUES (0)")
                                         .ok()) &&
                    db.Exec(migration.sql).ok() &&
                    db.Exec("UPDATE schema_version SET version = " + std::to_string(migration.version)).ok();
    if (!ok)
      return "cannot bring " + shown + " to schema version " + std::to_string(migration.version) + ": " +
             db.ErrorMessage();
    version = migration.version;
  }
  if (!transaction.Commit()) return "cannot bring " + shown + " up to date: " + db.ErrorMessage();
  return {};
}

}  // namespace

static_assert(kStoreSchemaVersion == 3, "both engines' migrations end at the shared schema version");

StoreResult<std::unique_ptr<Store>> OpenPostgresStore(const std::string& url, const StoreOpenOptions& options) {
  using Output = StoreResult<std::unique_ptr<Store>>;
  const std::string shown = UrlWithoutPassword(url);
  auto db = std::make_unique<pg::Connection>();
  if (std::string error = db->Open(url, SessionSetup(options)); !error.empty())
    return Output::Failure(StoreFailure::Unavailable, "cannot connect to " + shown + ": " + error);
  bool missing = false;
  if (std::string problem = Migrate(*db, shown, options.readOnly, missing); !problem.empty())
    return Output::Failure(missing ? StoreFailure::NotFound : StoreFailure::Unavailable, problem);
  return std::unique_ptr<Store>(std::make_unique<PostgresStore>(std::move(db), url, options));
}

}  // namespace vx::server
