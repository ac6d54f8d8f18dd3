// One agent's session: the server's side of the management connection as a
// state machine with no sockets and no event loop. Bytes go in (ReadSpace,
// Received), bytes come out (Output, Sent), time moves through Tick, and a
// change made by an administration command arrives through StoreChanged.
// The network layer (server/network/) and the fuzzer drive it alike.
//
// From the hello on, it:
// - enrolls the ClientId (approved or pending, by the settings), refuses a
//   pending or revoked agent and a second connection of an agent already
//   connected (helloReply status 0), else accepts it (status 1);
// - asks for the status at once and every 5 minutes, and stores it decoded;
// - asks for a report notice, and on every notice above the stored cursor
//   pages with reportRowsRequest (after-id = the last id received) until a
//   page is empty, each page committed before the next is asked for; a
//   notice below the cursor starts a new report epoch;
// - compares the agent's policy digest with that of its assignment at the
//   start and after every change, sends a policySet and checks again when
//   they differ, and records the agent as drifted after kPolicyTries sets;
// - sends each queued update once, and records it delivered when the agent
//   answers the statusRequest sent after it (the agent reads messages in
//   order, so it has then read the whole file).
//
// Where several serve instances share the store, the agent's session, each
// update's sending and each epoch change are claimed in the store, so no two
// instances do the same for one agent (store.h).
//
// Bounds: the hello must arrive complete within the stall time; every read
// takes at most what the message under way still needs (a header, then the
// body its type allows: at most 131,072 bytes for a rows block, the fixed
// size for the others); a bad checksum, an unknown type or one the agent
// may not send, a length the type does not allow, a reply nobody asked for,
// a rows block that does not decode, a message stalled for the stall time,
// an agent silent for the silence time, or output the agent does not take
// for the stall time ends the session, and only it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "management/protocol/message_header.h"
#include "management/protocol/rows_block.h"
#include "server/assignment_encodings.h"
#include "server/session_environment.h"
#include "server/store/store.h"

namespace vx::server {

class AgentSession {
 public:
  AgentSession(Store& store, ServerClock& clock, SessionLog& log, AgentDirectory& directory,
               AssignmentEncodings& encodings, const SessionSettings& settings, std::string peerAddress);
  AgentSession(const AgentSession&) = delete;
  AgentSession& operator=(const AgentSession&) = delete;
  // Ends the session if it has not ended ("closed by the server").
  ~AgentSession();

  // ---- Input ----
  // Where the next received bytes go: at most what the message under way
  // still needs. Empty once the session has ended.
  [[nodiscard]] std::span<uint8_t> ReadSpace();
  // `count` bytes (at most ReadSpace().size()) were placed at ReadSpace().
  void Received(std::size_t count);
  // Received bytes from elsewhere, fed through ReadSpace and Received.
  void Feed(std::span<const uint8_t> bytes);
  // The agent closed its side, or the connection failed.
  void ConnectionLost(const std::string& reason);

  // ---- Output ----
  // The bytes waiting to be sent; valid until the next call on the session.
  [[nodiscard]] std::span<const uint8_t> Output() const;
  // The first `count` bytes of Output() were sent.
  void Sent(std::size_t count);

  // ---- Time and changes ----
  // Time-outs, the status timer, retries and progress lines; about once a
  // second.
  void Tick();
  // The store's change counter moved: enrollment, assignment and queued
  // updates as `view` (read once for every session) has them now.
  void StoreChanged(const SessionView& view);
  // Ends the session from outside (the server is stopping).
  void Stop(const std::string& reason);

  // ---- State ----
  // The session is over: the connection is to be closed once Output() is
  // empty when FlushBeforeClose() (a refusing helloReply), at once otherwise.
  [[nodiscard]] bool Ended() const { return ended_; }
  [[nodiscard]] bool FlushBeforeClose() const { return ended_ && flushBeforeClose_; }
  [[nodiscard]] const std::string& EndReason() const { return endReason_; }
  // The agent, once its hello arrived.
  [[nodiscard]] std::optional<AgentId> Agent() const { return agent_; }
  [[nodiscard]] const std::string& PeerAddress() const { return peerAddress_; }
  // Whether its hello was accepted.
  [[nodiscard]] bool Serving() const { return phase_ == Phase::Serving; }

 private:
  enum class Phase { AwaitingHello, Serving, Over };

  // Input.
  void HeaderComplete();
  void MessageComplete();
  void OnHello();
  void OnKeepAlive();
  void OnStatusReply();
  void OnReportNotice(int32_t announcedId);
  void OnRowsReply();
  void OnDigestReply(uint32_t digest);

  // Reports.
  [[nodiscard]] bool StartEpoch();  // false when the session ended
  void RequestRows();
  void StorePage(const std::vector<management::DecodedRow>& rows);
  void LogProgress(bool final);

  // Policy.
  void LoadAssignment();
  // Follows `assignment` (nullptr: none); a different one gets its own tries
  // and a digest request.
  void Follow(std::shared_ptr<const EncodedAssignment> assignment);
  void RequestDigest();
  void RecordPolicy();

  // Updates.
  void StartNextUpdate();
  void FillUpdate();

  // Output.
  void Send(uint16_t type, std::span<const uint8_t> body = {}, std::optional<uint32_t> length = std::nullopt);
  void Append(std::span<const uint8_t> bytes);
  void RequestStatus();

  // Ending.
  void End(LogLevel level, const std::string& reason, bool flush = false);
  std::string Who() const;  // "agent <hex> (<address>)" or the address before the hello
  int64_t Now() { return clock_.SteadyMs(); }

  Store& store_;
  ServerClock& clock_;
  SessionLog& log_;
  AgentDirectory& directory_;
  AssignmentEncodings& encodings_;
  const SessionSettings settings_;
  const std::string peerAddress_;

  Phase phase_ = Phase::AwaitingHello;
  bool ended_ = false;
  bool flushBeforeClose_ = false;
  std::string endReason_;
  std::optional<AgentId> agent_;
  bool claimed_ = false;       // in this instance's directory
  bool storeClaimed_ = false;  // in the store, for this instance

  // Input: the header, then the body the header announced.
  std::array<uint8_t, management::kHeaderSize> header_{};
  std::size_t headerFilled_ = 0;
  management::MessageHeader current_{};
  std::vector<uint8_t> body_;
  std::size_t bodyNeeded_ = 0;
  std::size_t bodyFilled_ = 0;
  bool inBody_ = false;
  int64_t startedMs_ = 0;
  int64_t lastInputMs_ = 0;

  // Output, and messages held back while an update's body is being queued
  // (nothing may come between an updatePush header and its file bytes).
  std::vector<uint8_t> output_;
  std::size_t outputStart_ = 0;
  std::vector<uint8_t> heldBack_;
  int64_t lastOutputMs_ = 0;

  // Requests in flight: replies arrive in the order the agent handles the
  // requests, and each reply type answers one request type only.
  uint64_t statusRequests_ = 0, statusReplies_ = 0;
  uint64_t digestRequests_ = 0, digestReplies_ = 0;
  bool rowsRequested_ = false;
  int64_t nextStatusMs_ = 0;

  // Reports.
  ReportCursor cursor_;
  int32_t announcedId_ = 0;
  int32_t requestedAfter_ = 0;
  bool epochChangeAfterPage_ = false;
  int emptyPages_ = 0;
  std::optional<int64_t> retryRowsAtMs_;
  bool draining_ = false;
  int64_t drainStartMs_ = 0;
  uint64_t drainStored_ = 0;
  int pagesThisDrain_ = 0;
  int64_t lastProgressMs_ = 0;

  // Policy.
  std::shared_ptr<const EncodedAssignment> assignment_;  // shared; nullptr when none applies
  AgentPolicyState policy_;

  // The update being sent: its record, how much of it is queued, and the
  // statusRequest whose reply confirms it.
  std::optional<UpdateRecord> update_;
  uint32_t updateQueued_ = 0;
  std::optional<uint64_t> updateConfirmedByStatusReply_;
  std::optional<int64_t> retryUpdateAtMs_;  // another instance held the next update
};

}  // namespace vx::server
