#include "server/store/sqlite_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <utility>

#include "server/store/sqlite_migrations.h"
#include "server/store/sqlite_statement.h"
#include "server/store/store_columns.h"

namespace vx::server {
namespace {

using management::ParentPolicy;
using sqlite::ResetOnExit;
using sqlite::Statement;
using sqlite::Transaction;
using store_columns::kAgentColumns;
using store_columns::kAssignmentColumns;
using store_columns::kUpdateColumns;
using store_columns::kUpdatesJoined;

constexpr uint8_t kFleetScope[] = {'f', 'l', 'e', 'e', 't'};

std::span<const uint8_t> IdBytes(const AgentId& id) { return std::span<const uint8_t>(id.data(), id.size()); }

std::span<const uint8_t> TextBytes(const std::string& text) {
  return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

AgentId IdFromBlob(std::span<const uint8_t> blob) {
  AgentId id{};
  std::copy_n(blob.begin(), std::min(blob.size(), id.size()), id.begin());
  return id;
}

class SqliteStore final : public Store {
 public:
  SqliteStore(sqlite3* db, std::filesystem::path path, StoreOpenOptions options)
      : db_(db), path_(std::move(path)), options_(options) {}
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;
  ~SqliteStore() override {
    // Statements first: a connection with live statements does not close.
    cursor_ = Statement();
    insertReport_ = Statement();
    raiseCursor_ = Statement();
    seen_ = Statement();
    (void)sqlite3_close(db_);  // nothing is left open that could keep it from closing
  }

  // ---- Agent sessions -----------------------------------------------------

  StoreResult<HelloOutcome> RecordHello(const AgentId& agent, EnrollMode mode, const std::string& address,
                                        int64_t now) override {
    if (auto refused = RefuseWrite<HelloOutcome>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<HelloOutcome>("record a hello");
    Statement select;
    if (select.Prepare(db_, "SELECT enrollment FROM agents WHERE agent_id = ?") != SQLITE_OK ||
        select.BindBlob(1, IdBytes(agent)) != SQLITE_OK)
      return Unavailable<HelloOutcome>("record a hello");
    const int found = select.Step();
    HelloOutcome outcome;
    Statement write;
    if (found == SQLITE_ROW) {
      outcome.enrollment = ParseEnrollment(select.ColumnText(0)).value_or(Enrollment::Revoked);
      if (write.Prepare(db_, "UPDATE agents SET address = ?, last_seen = ? WHERE agent_id = ?") != SQLITE_OK ||
          write.BindText(1, address) != SQLITE_OK || write.BindInt(2, now) != SQLITE_OK ||
          write.BindBlob(3, IdBytes(agent)) != SQLITE_OK || write.Step() != SQLITE_DONE)
        return Unavailable<HelloOutcome>("record a hello");
    } else if (found == SQLITE_DONE) {
      outcome.newAgent = true;
      outcome.enrollment = mode == EnrollMode::Open ? Enrollment::Approved : Enrollment::Pending;
      if (write.Prepare(db_,
                        "INSERT INTO agents (agent_id, enrollment, address, first_seen, last_seen) "
                        "VALUES (?, ?, ?, ?, ?)") != SQLITE_OK ||
          write.BindBlob(1, IdBytes(agent)) != SQLITE_OK ||
          write.BindText(2, EnrollmentName(outcome.enrollment)) != SQLITE_OK ||
          write.BindText(3, address) != SQLITE_OK || write.BindInt(4, now) != SQLITE_OK ||
          write.BindInt(5, now) != SQLITE_OK || write.Step() != SQLITE_DONE)
        return Unavailable<HelloOutcome>("enroll an agent");
    } else {
      return Unavailable<HelloOutcome>("record a hello");
    }
    if (transaction.Commit() != SQLITE_OK) return Unavailable<HelloOutcome>("record a hello");
    return outcome;
  }

  StoreResult<ConnectionClaim> ClaimConnection(const AgentId& agent, int64_t instanceId, int64_t now) override {
    using Result = StoreResult<ConnectionClaim>;
    if (auto refused = RefuseWrite<ConnectionClaim>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<ConnectionClaim>("claim an agent's connection");
    Statement claim;
    if (claim.Prepare(db_,
                      "UPDATE agents SET instance_id = ?2, last_seen = ?3 WHERE agent_id = ?1 "
                      "AND (instance_id IS NULL OR instance_id = ?2)") != SQLITE_OK ||
        claim.BindBlob(1, IdBytes(agent)) != SQLITE_OK || claim.BindInt(2, instanceId) != SQLITE_OK ||
        claim.BindInt(3, now) != SQLITE_OK || claim.Step() != SQLITE_DONE)
      return Unavailable<ConnectionClaim>("claim an agent's connection");
    ConnectionClaim outcome;
    if (sqlite3_changes(db_) == 1) {
      outcome.claimed = true;
    } else {
      Statement holder;
      if (holder.Prepare(db_, "SELECT instance_id FROM agents WHERE agent_id = ?") != SQLITE_OK ||
          holder.BindBlob(1, IdBytes(agent)) != SQLITE_OK)
        return Unavailable<ConnectionClaim>("claim an agent's connection");
      const int step = holder.Step();
      if (step == SQLITE_DONE) return NotFound<ConnectionClaim>(agent);
      if (step != SQLITE_ROW) return Unavailable<ConnectionClaim>("claim an agent's connection");
      outcome.holder = holder.ColumnInt(0);
    }
    if (transaction.Commit() != SQLITE_OK) return Unavailable<ConnectionClaim>("claim an agent's connection");
    return Result(outcome);
  }

  StoreResult<Done> ReleaseConnection(const AgentId& agent, int64_t instanceId, int64_t now) override {
    if (auto refused = RefuseWrite<Done>()) return *refused;
    Statement release;
    if (release.Prepare(
            db_, "UPDATE agents SET instance_id = NULL, last_seen = ?3 WHERE agent_id = ?1 AND instance_id = ?2") !=
            SQLITE_OK ||
        release.BindBlob(1, IdBytes(agent)) != SQLITE_OK || release.BindInt(2, instanceId) != SQLITE_OK ||
        release.BindInt(3, now) != SQLITE_OK || release.Step() != SQLITE_DONE)
      return Unavailable<Done>("release an agent's connection");
    return Done{};
  }

  // ---- Instances --------------------------------------------------------------

  StoreResult<int64_t> RegisterInstance(const InstanceInfo& info, bool alone, int64_t now) override {
    if (auto refused = RefuseWrite<int64_t>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<int64_t>("register the instance");
    if (alone && !EndInstances("1", now)) return Unavailable<int64_t>("end the instances before this one");
    Statement insert;
    if (insert.Prepare(db_,
                       "INSERT INTO instances (host, listen, pid, started_at, heartbeat_at) VALUES (?, ?, ?, ?, ?)") !=
            SQLITE_OK ||
        insert.BindText(1, info.host) != SQLITE_OK || insert.BindText(2, info.listen) != SQLITE_OK ||
        insert.BindInt(3, info.pid) != SQLITE_OK || insert.BindInt(4, now) != SQLITE_OK ||
        insert.BindInt(5, now) != SQLITE_OK || insert.Step() != SQLITE_DONE)
      return Unavailable<int64_t>("register the instance");
    const int64_t id = sqlite3_last_insert_rowid(db_);
    if (transaction.Commit() != SQLITE_OK) return Unavailable<int64_t>("register the instance");
    return id;
  }

  StoreResult<HeartbeatOutcome> Heartbeat(int64_t instanceId, int64_t now) override {
    if (auto refused = RefuseWrite<HeartbeatOutcome>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<HeartbeatOutcome>("record the heartbeat");
    HeartbeatOutcome outcome;
    Statement beat;
    if (beat.Prepare(db_, "UPDATE instances SET heartbeat_at = ?2 WHERE instance_id = ?1 AND ended_at IS NULL") !=
            SQLITE_OK ||
        beat.BindInt(1, instanceId) != SQLITE_OK || beat.BindInt(2, now) != SQLITE_OK || beat.Step() != SQLITE_DONE)
      return Unavailable<HeartbeatOutcome>("record the heartbeat");
    outcome.ended = sqlite3_changes(db_) == 0;
    // The instances about to be ended, as they stood, for the log.
    auto lapsed = SelectInstances(" WHERE i.ended_at IS NULL AND i.heartbeat_at < ?1", now - kInstanceLifeSeconds);
    if (!lapsed) return lapsed.As<HeartbeatOutcome>();
    outcome.reaped = std::move(lapsed).value();
    if (!outcome.reaped.empty() && !EndInstances("heartbeat_at < :now - " + std::to_string(kInstanceLifeSeconds), now))
      return Unavailable<HeartbeatOutcome>("end the instances whose heartbeat lapsed");
    if (transaction.Commit() != SQLITE_OK) return Unavailable<HeartbeatOutcome>("record the heartbeat");
    return outcome;
  }

  StoreResult<Done> EndInstance(int64_t instanceId, int64_t now) override {
    if (auto refused = RefuseWrite<Done>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK || !EndInstances("instance_id = " + std::to_string(instanceId), now) ||
        transaction.Commit() != SQLITE_OK)
      return Unavailable<Done>("end the instance");
    return Done{};
  }

  StoreResult<std::vector<InstanceRecord>> ListInstances() override { return SelectInstances("", std::nullopt); }

  // ---- Agent sessions -----------------------------------------------------

  StoreResult<Done> RecordSeen(const AgentId& agent, int64_t now) override {
    if (auto refused = RefuseWrite<Done>()) return *refused;
    if (!seen_.Prepared() && seen_.Prepare(db_, "UPDATE agents SET last_seen = ? WHERE agent_id = ?") != SQLITE_OK)
      return Unavailable<Done>("record an agent as seen");
    ResetOnExit reset(seen_);
    if (seen_.BindInt(1, now) != SQLITE_OK || seen_.BindBlob(2, IdBytes(agent)) != SQLITE_OK ||
        seen_.Step() != SQLITE_DONE)
      return Unavailable<Done>("record an agent as seen");
    if (sqlite3_changes(db_) == 0) return NotFound<Done>(agent);
    return Done{};
  }

  StoreResult<Done> RecordStatus(const AgentId& agent, const AgentStatus& status) override {
    return UpdateAgent(
        "UPDATE agents SET status_received_at = ?2, computer_name = ?3, uptime_seconds = ?4, lock_cd_dvd = ?5, "
        "lock_floppy = ?6, status_word = ?7, on_battery = ?8, windows_version = ?9, last_seen = ?2 "
        "WHERE agent_id = ?1",
        agent, [&](Statement& s) {
          return s.BindInt(2, status.receivedAt) == SQLITE_OK && s.BindText(3, status.computerName) == SQLITE_OK &&
                 s.BindInt(4, status.uptimeSeconds) == SQLITE_OK && s.BindInt(5, status.lockCdDvd) == SQLITE_OK &&
                 s.BindInt(6, status.lockFloppy) == SQLITE_OK && s.BindInt(7, status.statusWord) == SQLITE_OK &&
                 s.BindInt(8, status.onBattery) == SQLITE_OK && s.BindInt(9, status.windowsVersion) == SQLITE_OK;
        });
  }

  StoreResult<ReportCursor> GetReportCursor(const AgentId& agent) override { return ReadCursor(agent); }

  StoreResult<Done> RecordAnnouncedReportId(const AgentId& agent, int32_t announcedId) override {
    return UpdateAgent("UPDATE agents SET announced_report_id = ?2 WHERE agent_id = ?1", agent,
                       [&](Statement& s) { return s.BindInt(2, announcedId) == SQLITE_OK; });
  }

  StoreResult<std::size_t> StoreReportPage(const AgentId& agent, int64_t epoch, std::span<const ReportRowRecord> rows,
                                           int64_t now) override {
    if (auto refused = RefuseWrite<std::size_t>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<std::size_t>("store report rows");
    const auto cursor = ReadCursor(agent);
    if (!cursor) return cursor.As<std::size_t>();
    if (cursor->epoch != epoch)
      return StoreResult<std::size_t>::Failure(
          StoreFailure::InvalidValue, "report rows of epoch " + std::to_string(epoch) + " for agent " +
                                          AgentIdHex(agent) + ", whose epoch is " + std::to_string(cursor->epoch));
    if (!insertReport_.Prepared() &&
        insertReport_.Prepare(db_,
                              "INSERT OR IGNORE INTO reports (agent_id, epoch, id, time, vendor, product, serial, "
                              "action, stored_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)") != SQLITE_OK)
      return Unavailable<std::size_t>("store report rows");
    std::size_t stored = 0;
    int32_t highest = cursor->lastId;
    for (const ReportRowRecord& row : rows) {
      ResetOnExit reset(insertReport_);
      if (insertReport_.BindBlob(1, IdBytes(agent)) != SQLITE_OK || insertReport_.BindInt(2, epoch) != SQLITE_OK ||
          insertReport_.BindInt(3, row.id) != SQLITE_OK || insertReport_.BindInt(4, row.time) != SQLITE_OK ||
          insertReport_.BindText(5, row.vendor) != SQLITE_OK || insertReport_.BindText(6, row.product) != SQLITE_OK ||
          insertReport_.BindText(7, row.serial) != SQLITE_OK || insertReport_.BindInt(8, row.action) != SQLITE_OK ||
          insertReport_.BindInt(9, now) != SQLITE_OK || insertReport_.Step() != SQLITE_DONE)
        return Unavailable<std::size_t>("store report rows");
      stored += static_cast<std::size_t>(sqlite3_changes(db_));
      highest = std::max(highest, row.id);
    }
    if (!raiseCursor_.Prepared() &&
        raiseCursor_.Prepare(db_, "UPDATE agents SET last_report_id = ?, last_seen = ? WHERE agent_id = ?") !=
            SQLITE_OK)
      return Unavailable<std::size_t>("store report rows");
    {
      ResetOnExit reset(raiseCursor_);
      if (raiseCursor_.BindInt(1, highest) != SQLITE_OK || raiseCursor_.BindInt(2, now) != SQLITE_OK ||
          raiseCursor_.BindBlob(3, IdBytes(agent)) != SQLITE_OK || raiseCursor_.Step() != SQLITE_DONE)
        return Unavailable<std::size_t>("store report rows");
    }
    if (transaction.Commit() != SQLITE_OK) return Unavailable<std::size_t>("store report rows");
    return stored;
  }

  StoreResult<ReportCursor> StartReportEpoch(const AgentId& agent, int64_t fromEpoch, int64_t now) override {
    if (auto refused = RefuseWrite<ReportCursor>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<ReportCursor>("start a report epoch");
    auto cursor = ReadCursor(agent);
    if (!cursor) return cursor;
    if (cursor->epoch != fromEpoch) return cursor;  // moved on already; nothing to write
    const ReportCursor next{cursor->epoch + 1, 0};
    Statement update;
    if (update.Prepare(db_,
                       "UPDATE agents SET report_epoch = ?, last_report_id = 0, last_seen = ? WHERE agent_id = ?") !=
            SQLITE_OK ||
        update.BindInt(1, next.epoch) != SQLITE_OK || update.BindInt(2, now) != SQLITE_OK ||
        update.BindBlob(3, IdBytes(agent)) != SQLITE_OK || update.Step() != SQLITE_DONE ||
        transaction.Commit() != SQLITE_OK)
      return Unavailable<ReportCursor>("start a report epoch");
    return next;
  }

  StoreResult<Done> RecordPolicyState(const AgentId& agent, const AgentPolicyState& state) override {
    return UpdateAgent(
        "UPDATE agents SET policy_sync = ?2, held_digest = ?3, expected_digest = ?4, policy_tries = ?5, "
        "policy_checked_at = ?6 WHERE agent_id = ?1",
        agent, [&](Statement& s) {
          return s.BindText(2, PolicySyncName(state.sync)) == SQLITE_OK && BindOptional(s, 3, state.heldDigest) &&
                 BindOptional(s, 4, state.expectedDigest) && s.BindInt(5, state.tries) == SQLITE_OK &&
                 s.BindInt(6, state.checkedAt) == SQLITE_OK;
        });
  }

  StoreResult<UpdateClaim> ClaimNextUpdate(const AgentId& agent, int64_t instanceId, int64_t) override {
    if (auto refused = RefuseWrite<UpdateClaim>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<UpdateClaim>("claim a queued update");
    Statement select;
    if (select.Prepare(db_, std::string(kUpdateColumns) +
                                ", u.claimed_by FROM updates u JOIN update_files f USING (file_id) "
                                "WHERE u.agent_id = ? AND u.delivered_at IS NULL ORDER BY u.update_id LIMIT 1") !=
            SQLITE_OK ||
        select.BindBlob(1, IdBytes(agent)) != SQLITE_OK)
      return Unavailable<UpdateClaim>("claim a queued update");
    const int step = select.Step();
    if (step == SQLITE_DONE) return UpdateClaim{};
    if (step != SQLITE_ROW) return Unavailable<UpdateClaim>("claim a queued update");
    UpdateClaim claim;
    if (!select.ColumnIsNull(6) && select.ColumnInt(6) != instanceId) {
      claim.heldElsewhere = true;
      return claim;
    }
    const UpdateRecord update = UpdateFrom(select);
    select.Reset();
    Statement mark;
    if (mark.Prepare(db_, "UPDATE updates SET claimed_by = ? WHERE update_id = ?") != SQLITE_OK ||
        mark.BindInt(1, instanceId) != SQLITE_OK || mark.BindInt(2, update.updateId) != SQLITE_OK ||
        mark.Step() != SQLITE_DONE || transaction.Commit() != SQLITE_OK)
      return Unavailable<UpdateClaim>("claim a queued update");
    claim.update = update;
    return claim;
  }

  StoreResult<Done> ReleaseUpdate(int64_t updateId, int64_t instanceId) override {
    if (auto refused = RefuseWrite<Done>()) return *refused;
    Statement release;
    if (release.Prepare(db_, "UPDATE updates SET claimed_by = NULL WHERE update_id = ? AND claimed_by = ?") !=
            SQLITE_OK ||
        release.BindInt(1, updateId) != SQLITE_OK || release.BindInt(2, instanceId) != SQLITE_OK ||
        release.Step() != SQLITE_DONE)
      return Unavailable<Done>("release an update");
    return Done{};
  }

  StoreResult<Done> ReadUpdateChunk(int64_t updateId, uint32_t offset, std::span<uint8_t> out) override {
    Statement select;
    if (select.Prepare(db_,
                       "SELECT u.file_id, f.size FROM updates u JOIN update_files f USING (file_id) "
                       "WHERE u.update_id = ? AND u.delivered_at IS NULL") != SQLITE_OK ||
        select.BindInt(1, updateId) != SQLITE_OK)
      return Unavailable<Done>("read an update");
    const int step = select.Step();
    if (step == SQLITE_DONE)
      return StoreResult<Done>::Failure(
          StoreFailure::NotFound, "update " + std::to_string(updateId) + " is not queued (delivered or cancelled)");
    if (step != SQLITE_ROW) return Unavailable<Done>("read an update");
    const int64_t fileId = select.ColumnInt(0);
    const int64_t size = select.ColumnInt(1);
    select.Reset();
    if (static_cast<int64_t>(offset) + static_cast<int64_t>(out.size()) > size)
      return StoreResult<Done>::Failure(StoreFailure::InvalidValue,
                                        "a read past the end of update " + std::to_string(updateId));
    if (out.empty()) return Done{};
    sqlite3_blob* blob = nullptr;
    if (sqlite3_blob_open(db_, "main", "update_files", "content", fileId, 0, &blob) != SQLITE_OK) {
      (void)sqlite3_blob_close(blob);  // a failed open may still leave a handle to release; its result adds nothing
      return Unavailable<Done>("read an update");
    }
    const int read = sqlite3_blob_read(blob, out.data(), static_cast<int>(out.size()), static_cast<int>(offset));
    (void)sqlite3_blob_close(blob);  // read-only handle: closing cannot lose anything
    if (read != SQLITE_OK) return Unavailable<Done>("read an update");
    return Done{};
  }

  StoreResult<Done> MarkUpdateDelivered(int64_t updateId, int64_t now) override {
    if (auto refused = RefuseWrite<Done>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<Done>("record a delivery");
    Statement update;
    if (update.Prepare(db_, "UPDATE updates SET delivered_at = ? WHERE update_id = ? AND delivered_at IS NULL") !=
            SQLITE_OK ||
        update.BindInt(1, now) != SQLITE_OK || update.BindInt(2, updateId) != SQLITE_OK || update.Step() != SQLITE_DONE)
      return Unavailable<Done>("record a delivery");
    if (sqlite3_changes(db_) == 0)
      return StoreResult<Done>::Failure(
          StoreFailure::NotFound, "update " + std::to_string(updateId) + " is not queued (delivered or cancelled)");
    if (!ReleaseUnneededContent(updateId) || transaction.Commit() != SQLITE_OK)
      return Unavailable<Done>("record a delivery");
    return Done{};
  }

  StoreResult<uint64_t> ChangeCounter() override {
    Statement select;
    if (select.Prepare(db_, "SELECT value FROM change_counter WHERE one = 1") != SQLITE_OK ||
        select.Step() != SQLITE_ROW)
      return Unavailable<uint64_t>("read the change counter");
    return static_cast<uint64_t>(select.ColumnInt(0));
  }

  StoreResult<SessionView> ReadSessionView() override {
    SessionView view;
    Statement assignments, agents, updates;
    if (assignments.Prepare(db_, std::string(kAssignmentColumns)) != SQLITE_OK)
      return Unavailable<SessionView>("read the assignments");
    int step;
    while ((step = assignments.Step()) == SQLITE_ROW) {
      const auto scope = assignments.ColumnBlob(0);
      if (scope.size() == sizeof kFleetScope)
        view.fleet = PolicyFrom(assignments);
      else
        view.own.emplace(IdFromBlob(scope), PolicyFrom(assignments));
    }
    if (step != SQLITE_DONE) return Unavailable<SessionView>("read the assignments");
    if (agents.Prepare(db_, "SELECT agent_id, enrollment FROM agents WHERE enrollment <> 'approved'") != SQLITE_OK)
      return Unavailable<SessionView>("read the enrollments");
    while ((step = agents.Step()) == SQLITE_ROW)
      view.notApproved.emplace(IdFromBlob(agents.ColumnBlob(0)),
                               ParseEnrollment(agents.ColumnText(1)).value_or(Enrollment::Revoked));
    if (step != SQLITE_DONE) return Unavailable<SessionView>("read the enrollments");
    if (updates.Prepare(db_, "SELECT DISTINCT agent_id FROM updates WHERE delivered_at IS NULL") != SQLITE_OK)
      return Unavailable<SessionView>("read the queued updates");
    while ((step = updates.Step()) == SQLITE_ROW) view.waitingUpdates.insert(IdFromBlob(updates.ColumnBlob(0)));
    if (step != SQLITE_DONE) return Unavailable<SessionView>("read the queued updates");
    return view;
  }

  // ---- Agent sessions and administration ----------------------------------

  StoreResult<PolicyAssignment> AssignedPolicy(const AgentId& agent) override {
    Statement select;
    if (select.Prepare(db_, std::string(kAssignmentColumns) + " WHERE scope IN (?1, ?2) ORDER BY scope = ?2 LIMIT 1") !=
            SQLITE_OK ||
        select.BindBlob(1, IdBytes(agent)) != SQLITE_OK || select.BindBlob(2, kFleetScope) != SQLITE_OK)
      return Unavailable<PolicyAssignment>("read a policy assignment");
    const int step = select.Step();
    if (step == SQLITE_DONE) return PolicyAssignment{};
    if (step != SQLITE_ROW) return Unavailable<PolicyAssignment>("read a policy assignment");
    PolicyAssignment assignment;
    const auto scope = select.ColumnBlob(0);
    assignment.source = scope.size() == sizeof kFleetScope ? PolicySource::Fleet : PolicySource::Agent;
    assignment.policy = PolicyFrom(select);
    assignment.changedAt = select.ColumnInt(9);
    return assignment;
  }

  StoreResult<AgentRecord> FindAgent(const AgentId& agent) override {
    Statement select;
    if (select.Prepare(db_, std::string(kAgentColumns) + " WHERE agent_id = ?") != SQLITE_OK ||
        select.BindBlob(1, IdBytes(agent)) != SQLITE_OK)
      return Unavailable<AgentRecord>("read an agent");
    const int step = select.Step();
    if (step == SQLITE_DONE) return NotFound<AgentRecord>(agent);
    if (step != SQLITE_ROW) return Unavailable<AgentRecord>("read an agent");
    return AgentFrom(select);
  }

  // ---- Administration -------------------------------------------------------

  StoreResult<std::vector<AgentRecord>> ListAgents() override {
    Statement select;
    if (select.Prepare(db_, std::string(kAgentColumns) + " ORDER BY agent_id") != SQLITE_OK)
      return Unavailable<std::vector<AgentRecord>>("list the agents");
    std::vector<AgentRecord> agents;
    int step;
    while ((step = select.Step()) == SQLITE_ROW) agents.push_back(AgentFrom(select));
    if (step != SQLITE_DONE) return Unavailable<std::vector<AgentRecord>>("list the agents");
    return agents;
  }

  StoreResult<Done> SetEnrollment(const AgentId& agent, Enrollment enrollment, int64_t) override {
    return ChangeAgent("UPDATE agents SET enrollment = ?2 WHERE agent_id = ?1", agent,
                       [&](Statement& s) { return s.BindText(2, EnrollmentName(enrollment)) == SQLITE_OK; });
  }

  StoreResult<std::vector<StoredReport>> ListReports(const ReportQuery& query) override {
    std::string sql =
        "SELECT agent_id, epoch, id, time, vendor, product, serial, action, stored_at FROM reports WHERE 1";
    if (query.agent) sql += " AND agent_id = :agent";
    if (query.epoch) sql += " AND epoch = :epoch";
    if (query.afterId) sql += " AND id > :after";
    if (query.sinceTime) sql += " AND time >= :since";
    if (query.beforeTime) sql += " AND time < :before";
    if (query.verdict) sql += " AND action = :verdict AND NOT (vendor = '-' AND serial = '-')";
    if (query.newestTimeFirst) {
      if (query.olderThan) sql += " AND (time, agent_id, epoch, id) < (:placeTime, :placeAgent, :placeEpoch, :placeId)";
      sql += " ORDER BY time DESC, agent_id DESC, epoch DESC, id DESC";
    } else {
      sql += query.newestFirst ? " ORDER BY agent_id DESC, epoch DESC, id DESC" : " ORDER BY agent_id, epoch, id";
    }
    sql += " LIMIT :limit";
    Statement select;
    if (select.Prepare(db_, sql) != SQLITE_OK) return Unavailable<std::vector<StoredReport>>("list report rows");
    auto bind = [&](const char* name, auto&& binder) {
      const int index = select.ParameterIndex(name);
      return index == 0 || binder(index) == SQLITE_OK;
    };
    const int64_t limit = static_cast<int64_t>(std::min<std::size_t>(query.limit, INT64_MAX));
    if (!bind(":agent", [&](int i) { return query.agent ? select.BindBlob(i, IdBytes(*query.agent)) : SQLITE_OK; }) ||
        !bind(":epoch", [&](int i) { return select.BindInt(i, query.epoch.value_or(0)); }) ||
        !bind(":after", [&](int i) { return select.BindInt(i, query.afterId.value_or(0)); }) ||
        !bind(":since", [&](int i) { return select.BindInt(i, query.sinceTime.value_or(0)); }) ||
        !bind(":before", [&](int i) { return select.BindInt(i, query.beforeTime.value_or(0)); }) ||
        !bind(":verdict", [&](int i) { return select.BindInt(i, query.verdict.value_or(0)); }) ||
        !bind(":placeTime", [&](int i) { return select.BindInt(i, query.olderThan ? query.olderThan->time : 0); }) ||
        !bind(
            ":placeAgent",
            [&](int i) { return query.olderThan ? select.BindBlob(i, IdBytes(query.olderThan->agent)) : SQLITE_OK; }) ||
        !bind(":placeEpoch", [&](int i) { return select.BindInt(i, query.olderThan ? query.olderThan->epoch : 0); }) ||
        !bind(":placeId", [&](int i) { return select.BindInt(i, query.olderThan ? query.olderThan->id : 0); }) ||
        !bind(":limit", [&](int i) { return select.BindInt(i, limit); }))
      return Unavailable<std::vector<StoredReport>>("list report rows");
    std::vector<StoredReport> reports;
    int step;
    while ((step = select.Step()) == SQLITE_ROW) {
      StoredReport report;
      report.agent = IdFromBlob(select.ColumnBlob(0));
      report.epoch = select.ColumnInt(1);
      report.row.id = static_cast<int32_t>(select.ColumnInt(2));
      report.row.time = static_cast<int32_t>(select.ColumnInt(3));
      report.row.vendor = select.ColumnText(4);
      report.row.product = select.ColumnText(5);
      report.row.serial = select.ColumnText(6);
      report.row.action = static_cast<int32_t>(select.ColumnInt(7));
      report.storedAt = select.ColumnInt(8);
      reports.push_back(std::move(report));
    }
    if (step != SQLITE_DONE) return Unavailable<std::vector<StoredReport>>("list report rows");
    return reports;
  }

  StoreResult<uint64_t> CountReports(std::optional<AgentId> agent) override {
    Statement select;
    const int prepared = agent ? select.Prepare(db_, "SELECT count(*) FROM reports WHERE agent_id = ?")
                               : select.Prepare(db_, "SELECT count(*) FROM reports");
    if (prepared != SQLITE_OK || (agent && select.BindBlob(1, IdBytes(*agent)) != SQLITE_OK) ||
        select.Step() != SQLITE_ROW)
      return Unavailable<uint64_t>("count report rows");
    return static_cast<uint64_t>(select.ColumnInt(0));
  }

  StoreResult<std::vector<ReportSlotCount>> CountReportsBySlot(const ReportCountQuery& query) override {
    using Result = StoreResult<std::vector<ReportSlotCount>>;
    if (query.slotSeconds < 1) return Result::Failure(StoreFailure::InvalidValue, "a time slot lasts 1 second or more");
    std::string sql =
        "SELECT (time - :since) / :slot AS slot, (vendor = '-' AND serial = '-') AS lock, action, count(*) "
        "FROM reports WHERE time >= :since AND time < :before";
    if (query.agent) sql += " AND agent_id = :agent";
    sql += " GROUP BY slot, lock, action ORDER BY slot, lock, action";
    Statement select;
    if (select.Prepare(db_, sql) != SQLITE_OK) return Unavailable<std::vector<ReportSlotCount>>("count report rows");
    const bool bound =
        select.BindInt(select.ParameterIndex(":since"), query.sinceTime) == SQLITE_OK &&
        select.BindInt(select.ParameterIndex(":slot"), query.slotSeconds) == SQLITE_OK &&
        select.BindInt(select.ParameterIndex(":before"), query.beforeTime) == SQLITE_OK &&
        (!query.agent || select.BindBlob(select.ParameterIndex(":agent"), IdBytes(*query.agent)) == SQLITE_OK);
    if (!bound) return Unavailable<std::vector<ReportSlotCount>>("count report rows");
    std::vector<ReportSlotCount> counts;
    int step;
    while ((step = select.Step()) == SQLITE_ROW)
      counts.push_back({select.ColumnInt(0), select.ColumnInt(1) != 0, static_cast<int32_t>(select.ColumnInt(2)),
                        static_cast<uint64_t>(select.ColumnInt(3))});
    if (step != SQLITE_DONE) return Unavailable<std::vector<ReportSlotCount>>("count report rows");
    return counts;
  }

  StoreResult<std::optional<ParentPolicy>> GetFleetPolicy() override { return ReadAssignment(kFleetScope); }

  StoreResult<std::optional<ParentPolicy>> GetAgentPolicy(const AgentId& agent) override {
    return ReadAssignment(IdBytes(agent));
  }

  StoreResult<Done> SetFleetPolicy(const ParentPolicy& policy, int64_t now) override {
    return WriteAssignment(kFleetScope, nullptr, policy, now);
  }
  StoreResult<Done> ClearFleetPolicy(int64_t now) override { return DeleteAssignment(kFleetScope, nullptr, now); }
  StoreResult<Done> SetAgentPolicy(const AgentId& agent, const ParentPolicy& policy, int64_t now) override {
    return WriteAssignment(IdBytes(agent), &agent, policy, now);
  }
  StoreResult<Done> ClearAgentPolicy(const AgentId& agent, int64_t now) override {
    return DeleteAssignment(IdBytes(agent), &agent, now);
  }

  StoreResult<std::vector<int64_t>> QueueUpdate(std::span<const AgentId> agents, const std::string& name,
                                                std::span<const uint8_t> content, int64_t now) override {
    using Result = StoreResult<std::vector<int64_t>>;
    if (auto refused = RefuseWrite<std::vector<int64_t>>()) return *refused;
    if (agents.empty()) return Result::Failure(StoreFailure::InvalidValue, "an update needs at least one agent");
    if (content.size() > kMaxUpdateSize)
      return Result::Failure(StoreFailure::InvalidValue, "the installer has " + std::to_string(content.size()) +
                                                             " bytes; at most " + std::to_string(kMaxUpdateSize) +
                                                             " can be queued");
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<std::vector<int64_t>>("queue an update");
    for (const AgentId& agent : agents) {
      const auto known = AgentExists(agent);
      if (!known) return known.As<std::vector<int64_t>>();
      if (!*known) return NotFound<std::vector<int64_t>>(agent);
    }
    Statement file;
    if (file.Prepare(db_, "INSERT INTO update_files (name, size, content) VALUES (?, ?, ?)") != SQLITE_OK ||
        file.BindText(1, name) != SQLITE_OK || file.BindInt(2, static_cast<int64_t>(content.size())) != SQLITE_OK ||
        file.BindBlob(3, content) != SQLITE_OK || file.Step() != SQLITE_DONE)
      return Unavailable<std::vector<int64_t>>("queue an update");
    const int64_t fileId = sqlite3_last_insert_rowid(db_);
    Statement queue;
    if (queue.Prepare(db_, "INSERT INTO updates (agent_id, file_id, queued_at) VALUES (?, ?, ?)") != SQLITE_OK)
      return Unavailable<std::vector<int64_t>>("queue an update");
    std::vector<int64_t> ids;
    for (const AgentId& agent : agents) {
      ResetOnExit reset(queue);
      if (queue.BindBlob(1, IdBytes(agent)) != SQLITE_OK || queue.BindInt(2, fileId) != SQLITE_OK ||
          queue.BindInt(3, now) != SQLITE_OK || queue.Step() != SQLITE_DONE)
        return Unavailable<std::vector<int64_t>>("queue an update");
      ids.push_back(sqlite3_last_insert_rowid(db_));
    }
    if (!BumpChangeCounter() || transaction.Commit() != SQLITE_OK)
      return Unavailable<std::vector<int64_t>>("queue an update");
    return ids;
  }

  StoreResult<Done> CancelUpdate(int64_t updateId, int64_t) override {
    if (auto refused = RefuseWrite<Done>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<Done>("cancel an update");
    Statement select;
    if (select.Prepare(db_, "SELECT file_id FROM updates WHERE update_id = ? AND delivered_at IS NULL") != SQLITE_OK ||
        select.BindInt(1, updateId) != SQLITE_OK)
      return Unavailable<Done>("cancel an update");
    const int step = select.Step();
    if (step == SQLITE_DONE)
      return StoreResult<Done>::Failure(StoreFailure::NotFound, "update " + std::to_string(updateId) +
                                                                    " is not queued (delivered, cancelled or unknown)");
    if (step != SQLITE_ROW) return Unavailable<Done>("cancel an update");
    const int64_t fileId = select.ColumnInt(0);
    select.Reset();
    Statement remove;
    if (remove.Prepare(db_, "DELETE FROM updates WHERE update_id = ?") != SQLITE_OK ||
        remove.BindInt(1, updateId) != SQLITE_OK || remove.Step() != SQLITE_DONE)
      return Unavailable<Done>("cancel an update");
    Statement dropFile;
    if (dropFile.Prepare(db_,
                         "DELETE FROM update_files WHERE file_id = ?1 AND NOT EXISTS "
                         "(SELECT 1 FROM updates WHERE file_id = ?1)") != SQLITE_OK ||
        dropFile.BindInt(1, fileId) != SQLITE_OK || dropFile.Step() != SQLITE_DONE)
      return Unavailable<Done>("cancel an update");
    if (!ReleaseContentOfFile(fileId) || !BumpChangeCounter() || transaction.Commit() != SQLITE_OK)
      return Unavailable<Done>("cancel an update");
    return Done{};
  }

  StoreResult<std::vector<UpdateRecord>> ListUpdates(std::optional<AgentId> agent) override {
    Statement select;
    const int prepared =
        agent
            ? select.Prepare(db_, std::string(kUpdateColumns) + std::string(kUpdatesJoined) +
                                      " WHERE u.agent_id = ? ORDER BY u.update_id")
            : select.Prepare(db_, std::string(kUpdateColumns) + std::string(kUpdatesJoined) + " ORDER BY u.update_id");
    if (prepared != SQLITE_OK || (agent && select.BindBlob(1, IdBytes(*agent)) != SQLITE_OK))
      return Unavailable<std::vector<UpdateRecord>>("list the updates");
    std::vector<UpdateRecord> updates;
    int step;
    while ((step = select.Step()) == SQLITE_ROW) updates.push_back(UpdateFrom(select));
    if (step != SQLITE_DONE) return Unavailable<std::vector<UpdateRecord>>("list the updates");
    return updates;
  }

  StoreResult<int64_t> AddApiToken(const std::string& name, const ApiTokenHash& hash, int64_t now) override {
    if (auto refused = RefuseWrite<int64_t>()) return *refused;
    if (name.size() > kMaxApiTokenName)
      return StoreResult<int64_t>::Failure(StoreFailure::InvalidValue,
                                           "a token name holds at most " + std::to_string(kMaxApiTokenName) + " bytes");
    for (const char c : name)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
        return StoreResult<int64_t>::Failure(StoreFailure::InvalidValue, "a token name holds no control character");
    Statement insert;
    if (insert.Prepare(db_, "INSERT INTO api_tokens (name, hash, created_at) VALUES (?, ?, ?)") != SQLITE_OK ||
        insert.BindText(1, name) != SQLITE_OK || insert.BindBlob(2, hash) != SQLITE_OK ||
        insert.BindInt(3, now) != SQLITE_OK)
      return Unavailable<int64_t>("add a token");
    const int step = insert.Step();
    if ((step & 0xFF) == SQLITE_CONSTRAINT)  // the extended code of a unique hash
      return StoreResult<int64_t>::Failure(StoreFailure::InvalidValue, "a token with that hash is stored already");
    if (step != SQLITE_DONE) return Unavailable<int64_t>("add a token");
    return static_cast<int64_t>(sqlite3_last_insert_rowid(db_));
  }

  StoreResult<std::vector<ApiTokenRecord>> ListApiTokens() override {
    Statement select;
    if (select.Prepare(db_, "SELECT token_id, name, hash, created_at, revoked_at FROM api_tokens ORDER BY token_id") !=
        SQLITE_OK)
      return Unavailable<std::vector<ApiTokenRecord>>("list the tokens");
    std::vector<ApiTokenRecord> tokens;
    int step;
    while ((step = select.Step()) == SQLITE_ROW) {
      ApiTokenRecord token;
      token.tokenId = select.ColumnInt(0);
      token.name = select.ColumnText(1);
      const std::span<const uint8_t> hash = select.ColumnBlob(2);
      std::copy_n(hash.begin(), std::min(hash.size(), token.hash.size()), token.hash.begin());
      token.createdAt = select.ColumnInt(3);
      if (!select.ColumnIsNull(4)) token.revokedAt = select.ColumnInt(4);
      tokens.push_back(std::move(token));
    }
    if (step != SQLITE_DONE) return Unavailable<std::vector<ApiTokenRecord>>("list the tokens");
    return tokens;
  }

  StoreResult<Done> RevokeApiToken(int64_t tokenId, int64_t now) override {
    if (auto refused = RefuseWrite<Done>()) return *refused;
    Statement update;
    if (update.Prepare(db_, "UPDATE api_tokens SET revoked_at = ? WHERE token_id = ? AND revoked_at IS NULL") !=
            SQLITE_OK ||
        update.BindInt(1, now) != SQLITE_OK || update.BindInt(2, tokenId) != SQLITE_OK || update.Step() != SQLITE_DONE)
      return Unavailable<Done>("revoke a token");
    if (sqlite3_changes(db_) == 0)
      return StoreResult<Done>::Failure(StoreFailure::NotFound,
                                        "token " + std::to_string(tokenId) + " is not in use (unknown or revoked)");
    return Done{};
  }

 private:
  template <typename T>
  StoreResult<T> Unavailable(const std::string& what) const {
    return StoreResult<T>::Failure(StoreFailure::Unavailable,
                                   "cannot " + what + " in " + path_.string() + ": " + sqlite3_errmsg(db_));
  }

  template <typename T>
  static StoreResult<T> NotFound(const AgentId& agent) {
    return StoreResult<T>::Failure(StoreFailure::NotFound, "no agent " + AgentIdHex(agent) + " in the store");
  }

  template <typename T>
  std::optional<StoreResult<T>> RefuseWrite() const {
    if (!options_.readOnly) return std::nullopt;
    return StoreResult<T>::Failure(StoreFailure::Unavailable,
                                   "the store " + path_.string() + " is open for reading only");
  }

  static bool BindOptional(Statement& s, int index, const std::optional<uint32_t>& value) {
    return (value ? s.BindInt(index, *value) : s.BindNull(index)) == SQLITE_OK;
  }

  // Runs one UPDATE of an agent's row (?1 is the agent id); NotFound when no
  // row matched.
  template <typename Binder>
  StoreResult<Done> UpdateAgent(std::string_view sql, const AgentId& agent, Binder&& bind) {
    if (auto refused = RefuseWrite<Done>()) return *refused;
    Statement update;
    if (update.Prepare(db_, sql) != SQLITE_OK || update.BindBlob(1, IdBytes(agent)) != SQLITE_OK || !bind(update) ||
        update.Step() != SQLITE_DONE)
      return Unavailable<Done>("update agent " + AgentIdHex(agent));
    if (sqlite3_changes(db_) == 0) return NotFound<Done>(agent);
    return Done{};
  }

  // The same as a (change) operation: the update and the change counter in
  // one transaction.
  template <typename Binder>
  StoreResult<Done> ChangeAgent(std::string_view sql, const AgentId& agent, Binder&& bind) {
    if (auto refused = RefuseWrite<Done>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<Done>("change agent " + AgentIdHex(agent));
    auto updated = UpdateAgent(sql, agent, std::forward<Binder>(bind));
    if (!updated) return updated;
    if (!BumpChangeCounter() || transaction.Commit() != SQLITE_OK)
      return Unavailable<Done>("change agent " + AgentIdHex(agent));
    return Done{};
  }

  // Ends the running instances that `where` picks (it may name :now),
  // clearing their agents' connection marks and their update claims.
  [[nodiscard]] bool EndInstances(const std::string& where, int64_t now) {
    const std::string picked = "SELECT instance_id FROM instances WHERE ended_at IS NULL AND (" + where + ")";
    for (const std::string& sql : {"UPDATE agents SET instance_id = NULL WHERE instance_id IN (" + picked + ")",
                                   "UPDATE updates SET claimed_by = NULL WHERE claimed_by IN (" + picked + ")",
                                   "UPDATE instances SET ended_at = :now WHERE ended_at IS NULL AND (" + where + ")"}) {
      Statement statement;
      if (statement.Prepare(db_, sql) != SQLITE_OK) return false;
      const int index = statement.ParameterIndex(":now");
      if ((index != 0 && statement.BindInt(index, now) != SQLITE_OK) || statement.Step() != SQLITE_DONE) return false;
    }
    return true;
  }

  // Instances with the agents each holds; `where` may use ?1 (`bound`).
  StoreResult<std::vector<InstanceRecord>> SelectInstances(const std::string& where, std::optional<int64_t> bound) {
    Statement select;
    if (select.Prepare(db_,
                       "SELECT i.instance_id, i.host, i.listen, i.pid, i.started_at, i.heartbeat_at, i.ended_at, "
                       "(SELECT count(*) FROM agents a WHERE a.instance_id = i.instance_id) FROM instances i" +
                           where + " ORDER BY i.instance_id") != SQLITE_OK ||
        (bound && select.BindInt(1, *bound) != SQLITE_OK))
      return Unavailable<std::vector<InstanceRecord>>("list the instances");
    std::vector<InstanceRecord> instances;
    int step;
    while ((step = select.Step()) == SQLITE_ROW) {
      InstanceRecord instance;
      instance.instanceId = select.ColumnInt(0);
      instance.info = InstanceInfo{select.ColumnText(1), select.ColumnText(2), select.ColumnInt(3)};
      instance.startedAt = select.ColumnInt(4);
      instance.heartbeatAt = select.ColumnInt(5);
      if (!select.ColumnIsNull(6)) instance.endedAt = select.ColumnInt(6);
      instance.agents = static_cast<uint64_t>(select.ColumnInt(7));
      instances.push_back(std::move(instance));
    }
    if (step != SQLITE_DONE) return Unavailable<std::vector<InstanceRecord>>("list the instances");
    return instances;
  }

  [[nodiscard]] bool BumpChangeCounter() {
    return sqlite::Execute(db_, "UPDATE change_counter SET value = value + 1 WHERE one = 1") == SQLITE_OK;
  }

  StoreResult<bool> AgentExists(const AgentId& agent) {
    Statement select;
    if (select.Prepare(db_, "SELECT 1 FROM agents WHERE agent_id = ?") != SQLITE_OK ||
        select.BindBlob(1, IdBytes(agent)) != SQLITE_OK)
      return Unavailable<bool>("read an agent");
    const int step = select.Step();
    if (step != SQLITE_ROW && step != SQLITE_DONE) return Unavailable<bool>("read an agent");
    return step == SQLITE_ROW;
  }

  StoreResult<ReportCursor> ReadCursor(const AgentId& agent) {
    if (!cursor_.Prepared() &&
        cursor_.Prepare(db_, "SELECT report_epoch, last_report_id FROM agents WHERE agent_id = ?") != SQLITE_OK)
      return Unavailable<ReportCursor>("read a report cursor");
    ResetOnExit reset(cursor_);
    if (cursor_.BindBlob(1, IdBytes(agent)) != SQLITE_OK) return Unavailable<ReportCursor>("read a report cursor");
    const int step = cursor_.Step();
    if (step == SQLITE_DONE) return NotFound<ReportCursor>(agent);
    if (step != SQLITE_ROW) return Unavailable<ReportCursor>("read a report cursor");
    return ReportCursor{cursor_.ColumnInt(0), static_cast<int32_t>(cursor_.ColumnInt(1))};
  }

  static ParentPolicy PolicyFrom(const Statement& s) {
    ParentPolicy policy;
    policy.ruleUsb__Parent = s.ColumnText(1);
    policy.ruleUsb__Lock = static_cast<uint8_t>(s.ColumnInt(2));
    policy.lockCdDvd__Parent = static_cast<uint8_t>(s.ColumnInt(3));
    policy.lockCdDvd__Lock = static_cast<uint8_t>(s.ColumnInt(4));
    policy.password__Parent = s.ColumnText(5);
    policy.password__Lock = static_cast<uint8_t>(s.ColumnInt(6));
    policy.lockFloppy__Parent = static_cast<uint8_t>(s.ColumnInt(7));
    policy.lockFloppy__Lock = static_cast<uint8_t>(s.ColumnInt(8));
    return policy;
  }

  StoreResult<std::optional<ParentPolicy>> ReadAssignment(std::span<const uint8_t> scope) {
    Statement select;
    if (select.Prepare(db_, std::string(kAssignmentColumns) + " WHERE scope = ?") != SQLITE_OK ||
        select.BindBlob(1, scope) != SQLITE_OK)
      return Unavailable<std::optional<ParentPolicy>>("read a policy assignment");
    const int step = select.Step();
    if (step == SQLITE_DONE) return std::optional<ParentPolicy>();
    if (step != SQLITE_ROW) return Unavailable<std::optional<ParentPolicy>>("read a policy assignment");
    return std::optional<ParentPolicy>(PolicyFrom(select));
  }

  StoreResult<Done> WriteAssignment(std::span<const uint8_t> scope, const AgentId* agent, const ParentPolicy& policy,
                                    int64_t now) {
    if (auto refused = RefuseWrite<Done>()) return *refused;
    if (auto problem = AssignmentProblem(policy))
      return StoreResult<Done>::Failure(StoreFailure::InvalidValue, *problem);
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<Done>("set a policy assignment");
    if (agent) {
      const auto known = AgentExists(*agent);
      if (!known) return known.As<Done>();
      if (!*known) return NotFound<Done>(*agent);
    }
    Statement write;
    if (write.Prepare(db_,
                      "INSERT OR REPLACE INTO policy_assignments (scope, rule_usb_parent, rule_usb_lock, "
                      "lock_cd_dvd_parent, lock_cd_dvd_lock, password_parent, password_lock, lock_floppy_parent, "
                      "lock_floppy_lock, changed_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)") != SQLITE_OK ||
        write.BindBlob(1, scope) != SQLITE_OK || write.BindBlob(2, TextBytes(policy.ruleUsb__Parent)) != SQLITE_OK ||
        write.BindInt(3, policy.ruleUsb__Lock) != SQLITE_OK ||
        write.BindInt(4, policy.lockCdDvd__Parent) != SQLITE_OK ||
        write.BindInt(5, policy.lockCdDvd__Lock) != SQLITE_OK ||
        write.BindBlob(6, TextBytes(policy.password__Parent)) != SQLITE_OK ||
        write.BindInt(7, policy.password__Lock) != SQLITE_OK ||
        write.BindInt(8, policy.lockFloppy__Parent) != SQLITE_OK ||
        write.BindInt(9, policy.lockFloppy__Lock) != SQLITE_OK || write.BindInt(10, now) != SQLITE_OK ||
        write.Step() != SQLITE_DONE || !BumpChangeCounter() || transaction.Commit() != SQLITE_OK)
      return Unavailable<Done>("set a policy assignment");
    return Done{};
  }

  StoreResult<Done> DeleteAssignment(std::span<const uint8_t> scope, const AgentId* agent, int64_t) {
    if (auto refused = RefuseWrite<Done>()) return *refused;
    Transaction transaction(db_);
    if (transaction.Begin() != SQLITE_OK) return Unavailable<Done>("clear a policy assignment");
    if (agent) {
      const auto known = AgentExists(*agent);
      if (!known) return known.As<Done>();
      if (!*known) return NotFound<Done>(*agent);
    }
    Statement remove;
    if (remove.Prepare(db_, "DELETE FROM policy_assignments WHERE scope = ?") != SQLITE_OK ||
        remove.BindBlob(1, scope) != SQLITE_OK || remove.Step() != SQLITE_DONE || !BumpChangeCounter() ||
        transaction.Commit() != SQLITE_OK)
      return Unavailable<Done>("clear a policy assignment");
    return Done{};
  }

  // A delivered or cancelled update's file keeps its name and size for the
  // record, but its content only while some agent still waits for it.
  [[nodiscard]] bool ReleaseUnneededContent(int64_t updateId) {
    Statement select;
    if (select.Prepare(db_, "SELECT file_id FROM updates WHERE update_id = ?") != SQLITE_OK ||
        select.BindInt(1, updateId) != SQLITE_OK || select.Step() != SQLITE_ROW)
      return false;
    return ReleaseContentOfFile(select.ColumnInt(0));
  }

  [[nodiscard]] bool ReleaseContentOfFile(int64_t fileId) {
    Statement release;
    return release.Prepare(db_,
                           "UPDATE update_files SET content = X'' WHERE file_id = ?1 AND NOT EXISTS "
                           "(SELECT 1 FROM updates WHERE file_id = ?1 AND delivered_at IS NULL)") == SQLITE_OK &&
           release.BindInt(1, fileId) == SQLITE_OK && release.Step() == SQLITE_DONE;
  }

  static UpdateRecord UpdateFrom(const Statement& s) {
    UpdateRecord update;
    update.updateId = s.ColumnInt(0);
    update.agent = IdFromBlob(s.ColumnBlob(1));
    update.name = s.ColumnText(2);
    update.size = static_cast<uint32_t>(s.ColumnInt(3));
    update.queuedAt = s.ColumnInt(4);
    if (!s.ColumnIsNull(5)) update.deliveredAt = s.ColumnInt(5);
    return update;
  }

  static AgentRecord AgentFrom(const Statement& s) {
    AgentRecord agent;
    agent.id = IdFromBlob(s.ColumnBlob(0));
    agent.enrollment = ParseEnrollment(s.ColumnText(1)).value_or(Enrollment::Revoked);
    agent.address = s.ColumnText(2);
    agent.firstSeen = s.ColumnInt(3);
    agent.lastSeen = s.ColumnInt(4);
    agent.connected = !s.ColumnIsNull(5);
    if (agent.connected) agent.instanceId = s.ColumnInt(5);
    agent.reports = ReportCursor{s.ColumnInt(6), static_cast<int32_t>(s.ColumnInt(7))};
    agent.announcedReportId = static_cast<int32_t>(s.ColumnInt(8));
    if (!s.ColumnIsNull(9)) {
      AgentStatus status;
      status.receivedAt = s.ColumnInt(9);
      status.computerName = s.ColumnText(10);
      status.uptimeSeconds = static_cast<uint32_t>(s.ColumnInt(11));
      status.lockCdDvd = s.ColumnInt(12) != 0;
      status.lockFloppy = s.ColumnInt(13) != 0;
      status.statusWord = static_cast<uint32_t>(s.ColumnInt(14));
      status.onBattery = s.ColumnInt(15) != 0;
      status.windowsVersion = static_cast<uint32_t>(s.ColumnInt(16));
      agent.status = status;
    }
    agent.policy.sync = PolicySyncOfStoredName(s.ColumnText(17));
    if (!s.ColumnIsNull(18)) agent.policy.heldDigest = static_cast<uint32_t>(s.ColumnInt(18));
    if (!s.ColumnIsNull(19)) agent.policy.expectedDigest = static_cast<uint32_t>(s.ColumnInt(19));
    agent.policy.tries = static_cast<int>(s.ColumnInt(20));
    agent.policy.checkedAt = s.ColumnInt(21);
    return agent;
  }

  sqlite3* db_;
  std::filesystem::path path_;
  StoreOpenOptions options_;
  // Statements of the hot paths (every report page, every message), kept.
  Statement cursor_, insertReport_, raiseCursor_, seen_;
};

// Brings the schema to this program's version, or refuses a store it cannot
// use. Gives an error text, empty when the store is ready.
std::string Migrate(sqlite3* db, const std::filesystem::path& path, bool readOnly) {
  const auto migrations = SqliteMigrations();
  const int newest = migrations.back().version;
  Statement tables;
  if (tables.Prepare(db, "SELECT name FROM sqlite_master WHERE type = 'table'") != SQLITE_OK)
    return "cannot read " + path.string() + ": " + sqlite3_errmsg(db);
  bool hasVersion = false, hasOthers = false;
  int step;
  while ((step = tables.Step()) == SQLITE_ROW)
    (tables.ColumnText(0) == "schema_version" ? hasVersion : hasOthers) = true;
  if (step != SQLITE_DONE) return "cannot read " + path.string() + ": " + sqlite3_errmsg(db);
  tables.Reset();
  int version = 0;
  if (hasVersion) {
    Statement select;
    if (select.Prepare(db, "SELECT version FROM schema_version") != SQLITE_OK || select.Step() != SQLITE_ROW)
      return "cannot read the schema version of " + path.string() + ": " + sqlite3_errmsg(db);
    version = static_cast<int>(select.ColumnInt(0));
  } else if (hasOthers) {
    return path.string() + " is an SQLite database, but not a vxmgmtd store (it has no schema_version table)";
  }
  if (version > newest)
    return "the store " + path.string() + " has schema version " + std::to_string(version) +
           ", newer than this program's " + std::to_string(newest) + ": it was written by a newer vxmgmtd; use that";
  if (version == newest) return {};
  if (readOnly)
    return "the store " + path.string() + " has schema version " + std::to_string(version) + ", older than " +
           std::to_string(newest) + ": open it once for writing (vxmgmtd serve) to bring it up to date";
  for (const SqliteMigration& migration : migrations) {
    if (migration.version <= version) continue;
    Transaction transaction(db);
    if (transaction.Begin() != SQLITE_OK ||
        (version == 0 && sqlite::Execute(db,
                                         "CREATE TABLE schema_version (version INTEGER NOT NULL);"
                                         "INSERT INTO schema_version (version) VALUES (0);") != SQLITE_OK) ||
        sqlite::Execute(db, migration.sql) != SQLITE_OK ||
        sqlite::Execute(db, "UPDATE schema_version SET version = " + std::to_string(migration.version)) != SQLITE_OK ||
        transaction.Commit() != SQLITE_OK)
      return "cannot bring " + path.string() + " to schema version " + std::to_string(migration.version) + ": " +
             sqlite3_errmsg(db);
    version = migration.version;
  }
  return {};
}

}  // namespace

int SqliteStoreSchemaVersion() { return SqliteMigrations().back().version; }

StoreResult<std::unique_ptr<Store>> OpenSqliteStore(const std::filesystem::path& path,
                                                    const StoreOpenOptions& options) {
  using Result = StoreResult<std::unique_ptr<Store>>;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    if (options.readOnly) return Result::Failure(StoreFailure::NotFound, "there is no store at " + path.string());
    // Created here, readable and writable by its owner only, before SQLite
    // opens it; SQLite gives its -wal and -shm files the same permissions.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST)
      return Result::Failure(StoreFailure::Unavailable,
                             "cannot create " + path.string() + ": " + std::system_category().message(errno));
    if (fd >= 0) (void)::close(fd);  // an empty file; nothing was written that a close could lose
  }
  sqlite3* db = nullptr;
  const int flags = (options.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    const std::string message = "cannot open " + path.string() + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    (void)sqlite3_close(db);  // a failed open may leave a handle to release; nothing else is open
    return Result::Failure(StoreFailure::Unavailable, message);
  }
  auto fail = [&](std::string message) {
    (void)sqlite3_close(db);  // nothing is prepared yet
    return Result::Failure(StoreFailure::Unavailable, std::move(message));
  };
  (void)sqlite3_extended_result_codes(db, 1);  // always SQLITE_OK on an open connection
  if (sqlite3_busy_timeout(db, options.busyTimeoutMs) != SQLITE_OK)
    return fail("cannot set the busy timeout of " + path.string());
  if (!options.readOnly) {
    Statement journal;
    if (journal.Prepare(db, "PRAGMA journal_mode = WAL") != SQLITE_OK || journal.Step() != SQLITE_ROW ||
        journal.ColumnText(0) != "wal")
      return fail("cannot switch " + path.string() + " to WAL: " + sqlite3_errmsg(db));
  }
  const std::string pragmas =
      std::string("PRAGMA foreign_keys = ON; PRAGMA synchronous = ") + (options.durableCommits ? "FULL" : "NORMAL");
  if (sqlite::Execute(db, pragmas) != SQLITE_OK)
    return fail("cannot set up " + path.string() + ": " + sqlite3_errmsg(db));
  if (std::string problem = Migrate(db, path, options.readOnly); !problem.empty()) return fail(problem);
  return std::unique_ptr<Store>(std::make_unique<SqliteStore>(db, path, options));
}

}  // namespace vx::server
