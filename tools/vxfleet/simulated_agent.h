// One simulated agent: the service's management client as a state machine
// with no sockets and no clock of its own. Bytes go in (ReadSpace, Received),
// bytes come out (Output, Sent), the network driver reports what the socket
// did (ConnectStarted, Connected, ConnectFailed, ConnectionLost), and time
// moves through Turn, which the driver calls at a shared 100-ms tick when
// NextTurnDue says the agent has something to do (turn_schedule.h).
//
// What the server sees is what the real client does:
// - a connection starts with hello (the ClientId); the helloReply (a type-4
//   header, its length not looked at, then a status byte) must come within
//   30 seconds; a refusal (status 0), a wrong type or checksum, a failed
//   connect or the time-out are followed by a new attempt after 5 seconds;
// - while connected, one turn at a time: a keep-alive on the first turn and
//   every 120 seconds after; a report notice (the newest id) when rows were
//   added since the last timed notice and at least 10 seconds passed since
//   it; then at most one server message, read whole, answered as the client
//   answers it (statusRequest, reportNoticeRequest, reportRowsRequest,
//   policyDigestRequest, policySet, updatePush; any other type is skipped
//   after its header);
// - a connection that breaks (the peer closed it, an error, a header with a
//   wrong checksum, 30 seconds without progress on a send) is followed by a
//   new attempt at once; a handler that gives up (a policySet above 1 MiB, a
//   body stalled for 30 seconds) closes it and tries again after one turn;
// - with churn, a connection is dropped at a random time and a new attempt
//   made at once; a drop due while a page awaits its proof waits for the
//   request after it, takes that proof and leaves the request unanswered.
// Unlike the real client, which reads a message when its turn comes, the
// agent takes a message's bytes as they arrive and handles the message at its
// next turn; it takes nothing more until then, so the server still sees one
// message handled a turn. A turn does nothing while the agent is still
// sending or is receiving an update's file, as the real client is inside
// that send or that file then.
//
// What it proves: a reportRowsRequest with after-id A tells that the server
// committed every row up to A (it stores a page before asking for the next).
// When the highest proven id rises, each row newly proven adds its delay
// (creation to the request's arrival) to the fleet's histogram. A request
// below what the same server proved before is a cursor regression: that
// server lost rows it had stored. Proofs are kept per server (the servers of
// a run may keep separate stores), and a row counts as stored once any server
// proved it; servers that are instances of one store keep one record, so a
// request of any of them below what another proved is a regression too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "management/protocol/message_header.h"
#include "tools/vxfleet/agent_identity.h"
#include "tools/vxfleet/fleet_log.h"
#include "tools/vxfleet/fleet_statistics.h"
#include "tools/vxfleet/fleet_time.h"
#include "tools/vxfleet/held_policies.h"
#include "tools/vxfleet/report_table.h"

namespace vx::fleet {

// The client's pacing and bounds (management/session_loop.h and
// management/connection.h), as fleet time.
inline constexpr FleetTime kTurnInterval = std::chrono::milliseconds(100);
inline constexpr FleetTime kKeepAliveInterval = std::chrono::seconds(120);
inline constexpr FleetTime kNoticeInterval = std::chrono::seconds(10);
inline constexpr FleetTime kConnectRetryWait = std::chrono::seconds(5);
inline constexpr FleetTime kHandshakeLimit = std::chrono::seconds(30);
inline constexpr FleetTime kStallLimit = std::chrono::seconds(30);

// An update's file is read in pieces of this size through a buffer all
// agents share; nothing of it is kept but its length and hash.
inline constexpr std::size_t kUpdateReadPiece = 65536;

// What every agent of a fleet shares, owned by the fleet.
struct FleetShared {
  uint64_t idPrefix = kDefaultIdPrefix;
  ReportShape reports;
  std::size_t serverCount = 1;
  bool sharedStore = false;       // the servers are instances of one store (FleetPlan::sharedStore)
  int64_t wallSecondsAtZero = 0;  // the wall clock when fleet time was 0, for row times
  FleetTime reconnectMean{0};     // mean time to a dropped connection; 0: none are dropped
  FleetStatistics statistics;
  HeldPolicies policies;
  std::shared_ptr<const HeldPolicy> initialPolicy;  // what every agent holds at its start
  FleetLog* log = nullptr;
  std::mt19937_64 random;
  // Scratch space the agents use one at a time (the fleet runs on one
  // thread): where an update's bytes are read, where a rows block is built.
  std::array<uint8_t, kUpdateReadPiece> updatePiece{};
  std::vector<uint8_t> rowsBlock;
};

// 64-bit FNV-1a of an update's bytes, as they arrive.
inline constexpr uint64_t kUpdateHashStart = 0xcbf29ce484222325;
[[nodiscard]] uint64_t UpdateHash(uint64_t hash, std::span<const uint8_t> bytes);

class SimulatedAgent {
 public:
  enum class Phase {
    NotStarted,  // before its place in the start-up ramp
    ConnectNow,  // the driver is to start a connection
    Connecting,  // the TCP connection is being made
    Handshake,   // hello sent or on its way, the helloReply awaited
    Connected,   // the hello was accepted: turns
    Waiting,     // until the next attempt
  };

  // Agent `index` (its place in the fleet, ids and names included) starts
  // at `start`; its first new row comes `phase` after that.
  SimulatedAgent(FleetShared& shared, uint64_t index, FleetTime start, FleetTime phase);
  SimulatedAgent(const SimulatedAgent&) = delete;
  SimulatedAgent& operator=(const SimulatedAgent&) = delete;
  SimulatedAgent(SimulatedAgent&&) = default;

  // ---- Turns ----
  // When the agent next needs a turn: at or before `now` means at the next
  // tick, kNever means only after the network reports something.
  [[nodiscard]] FleetTime NextTurnDue(FleetTime now) const;
  void Turn(FleetTime now);

  // ---- The connection, as the driver reports it ----
  [[nodiscard]] Phase CurrentPhase() const { return phase_; }
  [[nodiscard]] bool WantsConnect() const { return phase_ == Phase::ConnectNow; }
  // Whether the socket of connection ConnectionNumber() is to stay open;
  // when not, the driver closes it (with whatever was not sent).
  [[nodiscard]] bool WantsSocket() const;
  [[nodiscard]] uint64_t ConnectionNumber() const { return connection_; }
  // The driver started a TCP connection to server `server` (0-based).
  void ConnectStarted(std::size_t server, FleetTime now);
  void Connected(FleetTime now);
  void ConnectFailed(FleetTime now);
  // The peer closed the connection, or it failed.
  void ConnectionLost(FleetTime now);

  // ---- Bytes ----
  // Where the next received bytes go: at most what the message under way
  // still needs, nothing while a whole message waits for its turn. Valid
  // until the next call on any agent of the fleet.
  [[nodiscard]] std::span<uint8_t> ReadSpace();
  // `count` bytes (at most ReadSpace().size()) were placed at ReadSpace().
  void Received(std::size_t count, FleetTime now);
  // The bytes waiting to be sent; valid until the next call on the agent.
  [[nodiscard]] std::span<const uint8_t> Output() const;
  // The first `count` bytes of Output() were sent.
  void Sent(std::size_t count, FleetTime now);

  // ---- State, for the report ----
  [[nodiscard]] uint64_t Index() const { return index_; }
  [[nodiscard]] const ClientId& Id() const { return id_; }
  [[nodiscard]] const ReportTable& Table() const { return table_; }
  [[nodiscard]] int32_t ProvenId() const { return proven_; }  // highest id proven stored by any server
  [[nodiscard]] uint32_t HeldDigest() const { return held_->digest; }
  [[nodiscard]] const management::ParentPolicy& HeldParentPolicy() const { return held_->policy; }
  [[nodiscard]] uint32_t Deliveries() const { return deliveries_; }
  // Deliveries the server could not know of: the connection ended before the
  // status reply after the file was out (the server takes that reply as the
  // sign the file arrived, so it sends such a file again).
  [[nodiscard]] uint32_t UnconfirmedDeliveries() const { return unconfirmedDeliveries_; }
  [[nodiscard]] uint64_t UpdateBytes() const { return updateBytes_; }
  [[nodiscard]] uint64_t LastUpdateHash() const { return lastUpdateHash_; }

 private:
  // Per server: what it proved stored, and what it was sent.
  struct ServerProgress {
    int32_t proven = 0;
    int32_t sent = 0;
  };

  // Connection ends.
  void EndAttempt(FleetTime now, FleetTime retryAfter);     // before the hello was accepted
  void EndConnection(FleetTime now, FleetTime retryAfter);  // after it was
  void ResetInput();

  // Handshake and input.
  void ReceivedHandshake(FleetTime now);
  void ReceivedMessageBytes(std::size_t count, FleetTime now);
  void ReceivedUpdateBytes(std::size_t count, FleetTime now);
  void HeaderComplete(FleetTime now);

  // A connected turn and the one message it may handle.
  void ConnectedTurn(FleetTime now);
  [[nodiscard]] bool DropForChurn(FleetTime now);  // false while it must wait
  void HandleMessage(FleetTime now);
  void AnswerStatus(FleetTime now);
  void SendNotice(FleetTime now);
  void AnswerRows(FleetTime now);
  void RecordProof(int32_t afterId);
  void ApplyPolicySet();
  void StartUpdate(FleetTime now);
  void FinishUpdate();

  void Send(FleetTime now, uint16_t type, std::span<const uint8_t> body = {}, uint32_t length = 0);

  FleetShared& shared_;
  uint64_t index_;
  ClientId id_;
  ReportTable table_;
  std::shared_ptr<const HeldPolicy> held_;

  Phase phase_ = Phase::NotStarted;
  uint64_t connection_ = 0;
  std::size_t server_ = 0;
  FleetTime deadline_{0};  // Connecting and Handshake: the attempt's time limit; Waiting: the next attempt

  // The helloReply: a header and a status byte.
  std::array<uint8_t, management::kHeaderSize + 1> handshake_{};
  std::size_t handshakeFilled_ = 0;

  // The message under way: its header, then the body the client reads for
  // it; `ready` once whole, until its turn.
  std::array<uint8_t, management::kHeaderSize> header_{};
  std::size_t headerFilled_ = 0;
  management::MessageHeader current_{};
  std::vector<uint8_t> body_;
  std::size_t bodyFilled_ = 0;
  bool ready_ = false;
  FleetTime readyAt_{0};
  FleetTime lastInputAt_{0};

  // An update's file being received.
  bool inUpdate_ = false;
  uint32_t updateLeft_ = 0;
  uint64_t updateHash_ = kUpdateHashStart;

  // Output.
  std::vector<uint8_t> output_;
  std::size_t outputSent_ = 0;
  FleetTime lastOutputAt_{0};

  // Per connection: the keep-alive and the timed notice (kNever: not yet on
  // this connection), and when churn drops it.
  FleetTime lastKeepAlive_ = kNever;
  FleetTime lastTimedNotice_ = kNever;
  FleetTime dropAt_ = kNever;
  bool pageAwaitingProof_ = false;  // rows were sent on this connection and no request came since
  // For the life of the agent, as the client keeps it for the life of its
  // thread: the reportsStored count the last timed notice saw.
  int32_t lastNoticedAdditions_ = 0;

  // Reports and updates.
  std::vector<ServerProgress> servers_;
  int32_t proven_ = 0;
  uint32_t deliveries_ = 0;
  uint32_t unconfirmedDeliveries_ = 0;
  // A file was read whole and no status reply after it is out yet; then
  // where that reply ends in the output, once queued.
  bool awaitingConfirmation_ = false;
  std::optional<std::size_t> confirmationEndsAt_;
  uint64_t updateBytes_ = 0;
  uint64_t lastUpdateHash_ = 0;
};

}  // namespace vx::fleet
