// The store seam of vxmgmtd: everything the server keeps about its agents,
// behind one interface so the storage can change without the agent sessions
// or the administration commands noticing. Two engines implement it: SQLite
// in one file (server/store/sqlite_store.h), the default, and PostgreSQL
// (server/store/postgres_store.h), which several serve instances may share.
//
// Several instances on one store: every serve registers as an instance and
// beats once a second (Heartbeat). What one instance does for an agent is
// claimed in one statement, never checked and then done: an agent's session
// (ClaimConnection), the sending of a queued update (ClaimNextUpdate), the
// step to a new report epoch (StartReportEpoch from a given epoch); report
// rows are keyed by (agent, epoch, id) and stored with "insert unless
// present". An instance whose heartbeat is older than kInstanceLifeSeconds
// is ended by the next heartbeat of any other: its connection marks and
// update claims are cleared, so its agents may connect to another instance
// and their updates be sent from there. Heartbeat times are each instance's
// wall clock, so instances that share a store keep their clocks in step
// (NTP); a skew of a few seconds is harmless against the life time.
//
// Who calls what:
// - the agent sessions of `vxmgmtd serve` (server/agent_session.h) call only
//   the operations under "Agent sessions": they record what agents send and
//   never change an enrollment, an assignment or a queued update;
// - the administration commands (server/commands/) call the operations
//   under "Administration". Those marked (change) advance the change counter
//   in the same transaction, so a running `serve`, which reads the counter
//   every second, brings the connected agents in line within a few seconds.
//
// Who may change the policy, the enrollments and the queued updates: whoever
// may write the store. The SQLite file is created readable and writable by
// its owner only (0600, in a 0700 directory when the server creates it), so
// that is the account the server runs under; a store opened read-only
// refuses every write. Nothing an agent sends reaches an administration
// operation.
//
// Times are wall-clock seconds since 1970 (UTC). Texts that came from agents
// are stored as agent_text.h says (each UTF-16 unit one character, UTF-8).
// Every operation that can fail returns a StoreResult; none throws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "management/protocol/parent_policy.h"
#include "server/store/agent_id.h"
#include "server/store/store_result.h"

namespace vx::server {

// Whether the server serves an agent. A new ClientId is Approved when the
// server enrolls openly and Pending when it enrolls by approval; an
// administrator approves (Pending or Revoked -> Approved) or revokes (any ->
// Revoked). Only an Approved agent gets an accepting helloReply.
enum class Enrollment { Approved, Pending, Revoked };
enum class EnrollMode { Open, Approve };

// "approved", "pending", "revoked": the names shown and stored.
[[nodiscard]] const char* EnrollmentName(Enrollment enrollment);
[[nodiscard]] std::optional<Enrollment> ParseEnrollment(std::string_view name);

// The last statusReply of an agent, decoded.
struct AgentStatus {
  std::string computerName;  // agent text
  uint32_t uptimeSeconds = 0;
  bool lockCdDvd = false;
  bool lockFloppy = false;
  uint32_t statusWord = 0;
  bool onBattery = false;
  uint32_t windowsVersion = 0;  // GetVersion's value as sent (see windows_version.h)
  int64_t receivedAt = 0;

  friend bool operator==(const AgentStatus&, const AgentStatus&) = default;
};

// How an agent's parent policy compares with what it should hold.
enum class PolicySync {
  Unknown,    // no digest received yet
  Unmanaged,  // no assignment applies (neither the agent's own nor a fleet default): nothing is sent
  InSync,     // its digest is the expected one
  Setting,    // it differed; a policySet was sent and the digest is being checked again
  Drifted,    // it still differed after kPolicyTries policySets
};
inline constexpr int kPolicyTries = 3;

[[nodiscard]] const char* PolicySyncName(PolicySync sync);  // "unknown", "unmanaged", "in-sync", "setting", "drifted"
// The stored name back; Unknown for a name of none.
[[nodiscard]] PolicySync PolicySyncOfStoredName(std::string_view name);

struct AgentPolicyState {
  PolicySync sync = PolicySync::Unknown;
  std::optional<uint32_t> heldDigest;      // the digest the agent last reported
  std::optional<uint32_t> expectedDigest;  // the digest of what it stores from its assignment
  int tries = 0;                           // policySets sent for that assignment since it last matched
  int64_t checkedAt = 0;                   // when the last digest arrived

  friend bool operator==(const AgentPolicyState&, const AgentPolicyState&) = default;
};

// Where an agent's report rows stand. Rows are kept per report epoch: an
// agent whose newest announced row id falls below the highest id stored for
// it (its report database was recreated) starts a new epoch, and its ids
// count from 0 again there; rows of earlier epochs stay as they were.
struct ReportCursor {
  int64_t epoch = 1;
  int32_t lastId = 0;  // the highest row id stored in `epoch`; the after-id of the next request

  friend bool operator==(const ReportCursor&, const ReportCursor&) = default;
};

struct AgentRecord {
  AgentId id{};
  Enrollment enrollment = Enrollment::Approved;
  std::string address;  // "a.b.c.d:port" of its last connection
  int64_t firstSeen = 0;
  int64_t lastSeen = 0;
  bool connected = false;             // a serve holds a session with it now
  std::optional<int64_t> instanceId;  // the instance that holds it, when connected
  std::optional<AgentStatus> status;
  ReportCursor reports;
  int32_t announcedReportId = 0;  // the id of its last reportNotice
  AgentPolicyState policy;
};

// One report row as an agent sent it.
struct ReportRowRecord {
  int32_t id = 0;
  int32_t time = 0;                     // seconds since 1970, as the agent recorded it
  std::string vendor, product, serial;  // agent texts
  int32_t action = 0;

  friend bool operator==(const ReportRowRecord&, const ReportRowRecord&) = default;
};

// A drive lock event as the monitor stores it: vendor and serial "-", the
// drive kind as product, and the lock driver's own action byte (0 locked,
// 1 unlocked), which is no disk verdict.
[[nodiscard]] inline bool IsDriveLockRow(const ReportRowRecord& row) { return row.vendor == "-" && row.serial == "-"; }

struct StoredReport {
  AgentId agent{};
  int64_t epoch = 0;
  ReportRowRecord row;
  int64_t storedAt = 0;
};

// A row's place in the newest-first time order: time, then agent, epoch and
// id, each descending. Unique per row, so a page that ends at a place is
// followed by exactly the rows after it.
struct ReportPlace {
  int32_t time = 0;
  AgentId agent{};
  int64_t epoch = 0;
  int32_t id = 0;

  friend bool operator==(const ReportPlace&, const ReportPlace&) = default;
};

// Which rows ListReports gives: all criteria that are set must hold. Rows are
// ordered by agent, epoch and id (ascending, or descending with
// newestFirst), or by ReportPlace with newestTimeFirst, at most `limit` of
// them.
struct ReportQuery {
  std::optional<AgentId> agent = std::nullopt;
  std::optional<int64_t> epoch = std::nullopt;
  std::optional<int32_t> afterId = std::nullopt;     // rows with an id above this (within each agent and epoch)
  std::optional<int32_t> sinceTime = std::nullopt;   // rows whose `time` is at least this
  std::optional<int32_t> beforeTime = std::nullopt;  // rows whose `time` is below this
  // Disk verdict rows with this stored action (0 blocked, 1 allowed, 2
  // read-only); drive lock rows never match.
  std::optional<int32_t> verdict = std::nullopt;
  bool newestFirst = false;
  // Ordered newest first by ReportPlace instead; with olderThan, only the
  // rows after that place (the next page of a reader walking back in time).
  bool newestTimeFirst = false;
  std::optional<ReportPlace> olderThan = std::nullopt;
  std::size_t limit = 1000;
};

// Rows counted per time slot, for a chart: the slot is (time - sinceTime) /
// slotSeconds, over sinceTime <= time < beforeTime.
struct ReportCountQuery {
  std::optional<AgentId> agent = std::nullopt;
  int32_t sinceTime = 0;
  int32_t beforeTime = 0;
  int32_t slotSeconds = 3600;
};

struct ReportSlotCount {
  int64_t slot = 0;
  bool driveLock = false;  // a drive lock row (IsDriveLockRow); else a disk verdict
  int32_t action = 0;      // the stored action
  uint64_t rows = 0;

  friend bool operator==(const ReportSlotCount&, const ReportSlotCount&) = default;
};

// Where an agent's assignment comes from.
enum class PolicySource { None, Fleet, Agent };

// Why an assignment cannot be stored: an agent could not hold it exactly
// (a rule text above 65,535 bytes or a password above 120, what its fields
// hold, or a text holding a zero byte, where an agent would cut it).
// nullopt when it can.
[[nodiscard]] std::optional<std::string> AssignmentProblem(const management::ParentPolicy& policy);

struct PolicyAssignment {
  PolicySource source = PolicySource::None;
  management::ParentPolicy policy;  // when source is not None
  int64_t changedAt = 0;
};

// The longest installer the server queues: the client's length field is 32
// bits, and the server sends it in 64 KiB chunks from the store.
inline constexpr uint32_t kMaxUpdateSize = 256u << 20;

// A bearer token of the HTTP API. The token itself is shown once, when it is
// made; the store keeps only its SHA-256.
inline constexpr std::size_t kApiTokenHashSize = 32;
inline constexpr std::size_t kMaxApiTokenName = 100;  // bytes
using ApiTokenHash = std::array<uint8_t, kApiTokenHashSize>;

struct ApiTokenRecord {
  int64_t tokenId = 0;
  std::string name;  // what the administrator called it (shown only)
  ApiTokenHash hash{};
  int64_t createdAt = 0;
  std::optional<int64_t> revokedAt;
};

// The instances of the server that have used the store: each serve is one
// from its start to its stop.
inline constexpr int64_t kInstanceLifeSeconds = 10;

struct InstanceInfo {  // shown only
  std::string host;    // the machine's name
  std::string listen;  // "addr:port" its agents connect to
  int64_t pid = 0;
};

struct InstanceRecord {
  int64_t instanceId = 0;
  InstanceInfo info;
  int64_t startedAt = 0;
  int64_t heartbeatAt = 0;
  std::optional<int64_t> endedAt;  // stopped, or ended by another for a lapsed heartbeat
  uint64_t agents = 0;             // agents it holds now
};

struct HeartbeatOutcome {
  // This instance had been ended by another (its heartbeat lapsed): its
  // claims are gone, so it must end its sessions and register again.
  bool ended = false;
  // Instances this heartbeat ended for a lapsed heartbeat.
  std::vector<InstanceRecord> reaped;
};

struct ConnectionClaim {
  bool claimed = false;
  std::optional<int64_t> holder;  // when not claimed: the instance that holds the agent
};

struct UpdateRecord {
  int64_t updateId = 0;  // unique across agents
  AgentId agent{};
  std::string name;   // what the administrator called it (shown only; the agent always writes VXUP.exe)
  uint32_t size = 0;  // bytes
  int64_t queuedAt = 0;
  std::optional<int64_t> deliveredAt;
};

struct UpdateClaim {
  std::optional<UpdateRecord> update;  // claimed for the caller, to be sent now
  // The agent's oldest waiting update is being sent by another instance
  // (nothing claimed); it is worth asking again later.
  bool heldElsewhere = false;
};

// What every session of a serve needs to know after a change, read once
// for all of them rather than once per session.
struct SessionView {
  std::optional<management::ParentPolicy> fleet;    // the fleet default, when one is set
  std::map<AgentId, management::ParentPolicy> own;  // agents with an assignment of their own
  std::map<AgentId, Enrollment> notApproved;        // pending or revoked
  std::set<AgentId> waitingUpdates;                 // agents with an update not yet delivered
};

// Wakes a serve as soon as another process changed the store, where the
// engine can tell (PostgreSQL's LISTEN/NOTIFY). serve polls the change
// counter every second all the same, which is all an SQLite store offers.
class ChangeSignal {
 public:
  virtual ~ChangeSignal() = default;
  // A descriptor that turns readable when a change may have arrived.
  [[nodiscard]] virtual int Descriptor() const = 0;
  // Takes in what arrived. false when the signal's connection is lost: it
  // is then dropped and asked for again.
  [[nodiscard]] virtual bool Consume() = 0;
};

class Store {
 public:
  virtual ~Store() = default;

  // ---- Instances (serve) ----------------------------------------------------

  // A serve starting: records it and gives its instance id. `alone`: the
  // caller holds the store's serve lock, so no other instance can be running;
  // any still marked running (killed, crashed) are ended at once, with their
  // connection marks and update claims.
  virtual StoreResult<int64_t> RegisterInstance(const InstanceInfo& info, bool alone, int64_t now) = 0;

  // Once a second: the instance lives. Ends every other instance whose
  // heartbeat is older than kInstanceLifeSeconds (see the top of this file).
  virtual StoreResult<HeartbeatOutcome> Heartbeat(int64_t instanceId, int64_t now) = 0;

  // A serve stopping: its instance ends, its marks and claims are cleared.
  virtual StoreResult<Done> EndInstance(int64_t instanceId, int64_t now) = 0;

  // Every instance, ordered by id.
  virtual StoreResult<std::vector<InstanceRecord>> ListInstances() = 0;

  // A signal of changes made elsewhere, or nullptr where the engine has none.
  [[nodiscard]] virtual std::unique_ptr<ChangeSignal> ListenForChanges() { return nullptr; }

  // ---- Agent sessions -----------------------------------------------------

  struct HelloOutcome {
    Enrollment enrollment = Enrollment::Approved;
    bool newAgent = false;  // this hello enrolled the ClientId
  };
  // An agent said hello from `address`: records it on first sight (Approved
  // under EnrollMode::Open, Pending under EnrollMode::Approve), sets its last
  // seen time and address, and gives its enrollment. It does not mark it
  // connected.
  virtual StoreResult<HelloOutcome> RecordHello(const AgentId& agent, EnrollMode mode, const std::string& address,
                                                int64_t now) = 0;

  // The agent's one session: marks it connected through `instanceId` unless
  // another instance holds it (claimed false, with the holder). One
  // statement, so of two instances that see the agent at once one wins.
  // Sets last seen; NotFound for an agent that never said hello.
  virtual StoreResult<ConnectionClaim> ClaimConnection(const AgentId& agent, int64_t instanceId, int64_t now) = 0;

  // The session ended: the mark goes when `instanceId` still holds it.
  virtual StoreResult<Done> ReleaseConnection(const AgentId& agent, int64_t instanceId, int64_t now) = 0;

  // Anything arrived from the agent (a keep-alive is enough).
  virtual StoreResult<Done> RecordSeen(const AgentId& agent, int64_t now) = 0;

  virtual StoreResult<Done> RecordStatus(const AgentId& agent, const AgentStatus& status) = 0;

  virtual StoreResult<ReportCursor> GetReportCursor(const AgentId& agent) = 0;

  // The id of the agent's last reportNotice, for "rows left" in progress
  // lines and command output.
  virtual StoreResult<Done> RecordAnnouncedReportId(const AgentId& agent, int32_t announcedId) = 0;

  // Stores one page of rows in one transaction: each row under (agent,
  // epoch, id) once (a row already stored under that key is left as it is
  // and not counted), and the cursor's lastId raised to the highest id of the
  // page. Gives the number of rows newly stored. `epoch` must be the agent's
  // current epoch (InvalidValue otherwise, nothing stored), so a page from a
  // session that has fallen behind an epoch change can never mix epochs.
  // When it fails, nothing of the page is stored.
  virtual StoreResult<std::size_t> StoreReportPage(const AgentId& agent, int64_t epoch,
                                                   std::span<const ReportRowRecord> rows, int64_t now) = 0;

  // Starts the epoch after `fromEpoch` (lastId 0) and gives the new cursor;
  // when the agent's epoch is no longer `fromEpoch` (another session moved
  // it), gives the stored cursor and changes nothing. Rows of earlier epochs
  // stay.
  virtual StoreResult<ReportCursor> StartReportEpoch(const AgentId& agent, int64_t fromEpoch, int64_t now) = 0;

  virtual StoreResult<Done> RecordPolicyState(const AgentId& agent, const AgentPolicyState& state) = 0;

  // The oldest update queued for the agent and not yet delivered, claimed
  // for `instanceId` in one statement (so it is sent from one instance
  // only), unless another instance holds it (heldElsewhere). The caller's
  // own claim is given again.
  virtual StoreResult<UpdateClaim> ClaimNextUpdate(const AgentId& agent, int64_t instanceId, int64_t now) = 0;

  // The session ends before the update was delivered: another may send it.
  virtual StoreResult<Done> ReleaseUpdate(int64_t updateId, int64_t instanceId) = 0;

  // Exactly `out.size()` bytes of the update's file from `offset`
  // (InvalidValue when that runs past its end; NotFound when it was
  // cancelled).
  virtual StoreResult<Done> ReadUpdateChunk(int64_t updateId, uint32_t offset, std::span<uint8_t> out) = 0;

  // The agent has read the whole file (it answered a request sent after it);
  // the update is not sent again.
  virtual StoreResult<Done> MarkUpdateDelivered(int64_t updateId, int64_t now) = 0;

  // Advanced by every (change) operation, never lowered.
  virtual StoreResult<uint64_t> ChangeCounter() = 0;

  // After the counter moved: enrollments, assignments and waiting updates,
  // for every session at once.
  virtual StoreResult<SessionView> ReadSessionView() = 0;

  // ---- Agent sessions and administration ----------------------------------

  // The agent's own assignment, else the fleet default, else source None.
  virtual StoreResult<PolicyAssignment> AssignedPolicy(const AgentId& agent) = 0;

  // NotFound when the ClientId never said hello.
  virtual StoreResult<AgentRecord> FindAgent(const AgentId& agent) = 0;

  // ---- Administration -------------------------------------------------------

  // Every agent, ordered by id.
  virtual StoreResult<std::vector<AgentRecord>> ListAgents() = 0;

  // (change) Approves or revokes an agent (NotFound when it never said
  // hello). A revoked agent that is connected is disconnected by serve and
  // refused from then on; an approved pending one is accepted at its next
  // attempt.
  virtual StoreResult<Done> SetEnrollment(const AgentId& agent, Enrollment enrollment, int64_t now) = 0;

  virtual StoreResult<std::vector<StoredReport>> ListReports(const ReportQuery& query) = 0;
  virtual StoreResult<uint64_t> CountReports(std::optional<AgentId> agent) = 0;
  // Ordered by slot, drive lock rows after disk verdicts, then by action;
  // slots without rows are left out. InvalidValue for slotSeconds below 1.
  virtual StoreResult<std::vector<ReportSlotCount>> CountReportsBySlot(const ReportCountQuery& query) = 0;

  // The fleet default (nullopt when none is set) and an agent's own
  // assignment (nullopt when it follows the fleet default).
  virtual StoreResult<std::optional<management::ParentPolicy>> GetFleetPolicy() = 0;
  virtual StoreResult<std::optional<management::ParentPolicy>> GetAgentPolicy(const AgentId& agent) = 0;

  // (change) Sets or clears the fleet default, or an agent's own assignment
  // (NotFound for an agent that never said hello). InvalidValue, nothing
  // changed, for a rule text above 65,535 bytes or a password above 120
  // bytes (what an agent's fields hold), or a text holding a zero byte (an
  // agent would cut it there).
  virtual StoreResult<Done> SetFleetPolicy(const management::ParentPolicy& policy, int64_t now) = 0;
  virtual StoreResult<Done> ClearFleetPolicy(int64_t now) = 0;
  virtual StoreResult<Done> SetAgentPolicy(const AgentId& agent, const management::ParentPolicy& policy,
                                           int64_t now) = 0;
  virtual StoreResult<Done> ClearAgentPolicy(const AgentId& agent, int64_t now) = 0;

  // (change) Queues one installer for each agent named (the file is stored
  // once) and gives the update ids in the same order. NotFound, nothing
  // queued, when any agent never said hello; InvalidValue above
  // kMaxUpdateSize or for no agents.
  virtual StoreResult<std::vector<int64_t>> QueueUpdate(std::span<const AgentId> agents, const std::string& name,
                                                        std::span<const uint8_t> content, int64_t now) = 0;

  // (change) Withdraws an update not yet delivered (NotFound otherwise).
  virtual StoreResult<Done> CancelUpdate(int64_t updateId, int64_t now) = 0;

  // Every update, or the agent's, ordered by update id.
  virtual StoreResult<std::vector<UpdateRecord>> ListUpdates(std::optional<AgentId> agent) = 0;

  // The HTTP API's bearer tokens. Whoever may write the store may make and
  // revoke them, as with every other change; serve does not read them, so
  // they leave the change counter alone. AddApiToken gives the new token's
  // id (InvalidValue for a name above kMaxApiTokenName bytes or with a
  // control character, or a hash already stored); RevokeApiToken is NotFound
  // for an id unknown or revoked already. ListApiTokens orders by id.
  virtual StoreResult<int64_t> AddApiToken(const std::string& name, const ApiTokenHash& hash, int64_t now) = 0;
  virtual StoreResult<std::vector<ApiTokenRecord>> ListApiTokens() = 0;
  virtual StoreResult<Done> RevokeApiToken(int64_t tokenId, int64_t now) = 0;
};

}  // namespace vx::server
