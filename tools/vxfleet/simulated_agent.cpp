#include "tools/vxfleet/simulated_agent.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "management/protocol/little_endian.h"
#include "management/protocol/message_catalogue.h"
#include "management/protocol/policy_list.h"
#include "management/protocol/status_record.h"
#include "tools/vxfleet/fleet_rows.h"

namespace vx::fleet {
namespace {

using namespace vx::management;

// What GetVersion returns on Windows 7 SP1 (build 7601, version 6.1).
constexpr uint32_t kWindowsVersion = 0x1DB10106;
// A buffer above this is given back after its message, so an idle agent holds
// little however large its last policySet or rows block was; the usual turn's
// output (keep-alive, notice, status reply, a row or two) fits in it.
constexpr std::size_t kKeptBufferCapacity = 512;

void Release(std::vector<uint8_t>& buffer) {
  if (buffer.capacity() > kKeptBufferCapacity)
    buffer = std::vector<uint8_t>();
  else
    buffer.clear();
}

}  // namespace

uint64_t UpdateHash(uint64_t hash, std::span<const uint8_t> bytes) {
  for (const uint8_t byte : bytes) {
    hash ^= byte;
    hash *= 0x100000001b3;
  }
  return hash;
}

SimulatedAgent::SimulatedAgent(FleetShared& shared, uint64_t index, FleetTime start, FleetTime phase)
    : shared_(shared),
      index_(index),
      id_(MakeClientId(shared.idPrefix, index)),
      table_(shared.reports, start, phase),
      held_(shared.initialPolicy),
      servers_(shared.sharedStore ? 1 : std::max<std::size_t>(shared.serverCount, 1)) {}

// ---- Turns -------------------------------------------------------------------

FleetTime SimulatedAgent::NextTurnDue(FleetTime now) const {
  switch (phase_) {
    case Phase::NotStarted:
      return table_.Start();
    case Phase::ConnectNow:
      return kNever;  // the driver acts on it at once
    case Phase::Connecting:
    case Phase::Handshake:
    case Phase::Waiting:
      return deadline_;
    case Phase::Connected:
      break;
  }
  if (inUpdate_) return lastInputAt_ + kStallLimit;
  if (!Output().empty()) return lastOutputAt_ + kStallLimit;
  if (ready_) return now;

  // A drop waits while a page awaits its proof: the request that brings it
  // is what makes the turn due then.
  FleetTime due = pageAwaitingProof_ ? kNever : dropAt_;
  if (headerFilled_ > 0) due = std::min(due, lastInputAt_ + kStallLimit);  // a message under way
  due = std::min(due, lastKeepAlive_ == kNever ? now : lastKeepAlive_ + kKeepAliveInterval);
  // A notice is due once rows were added and 10 s passed since the last one.
  const FleetTime noticeAllowed = lastTimedNotice_ == kNever ? now : lastTimedNotice_ + kNoticeInterval;
  if (table_.AdditionsBy(now) != lastNoticedAdditions_) {
    due = std::min(due, noticeAllowed);
  } else if (const FleetTime next = table_.NextCreationAfter(now); next != kNever) {
    due = std::min(due, std::max(next, noticeAllowed));
  }
  return due;
}

void SimulatedAgent::Turn(FleetTime now) {
  switch (phase_) {
    case Phase::NotStarted:
      if (now >= table_.Start()) phase_ = Phase::ConnectNow;
      return;
    case Phase::Waiting:
      if (now >= deadline_) phase_ = Phase::ConnectNow;
      return;
    case Phase::Connecting:
    case Phase::Handshake:
      if (now >= deadline_) {
        ++shared_.statistics.connectFailures;
        EndAttempt(now, kConnectRetryWait);
      }
      return;
    case Phase::ConnectNow:
      return;
    case Phase::Connected:
      ConnectedTurn(now);
      return;
  }
}

void SimulatedAgent::ConnectedTurn(FleetTime now) {
  if (inUpdate_) {
    // The client is inside the file's read; a file that stops coming ends it.
    if (now - lastInputAt_ >= kStallLimit) EndConnection(now, kTurnInterval);
    return;
  }
  if (!Output().empty()) {
    // The client is inside a send, which gives up after 30 s without progress.
    if (now - lastOutputAt_ >= kStallLimit) EndConnection(now, FleetTime{0});
    return;
  }
  if (headerFilled_ > 0 && !ready_ && now - lastInputAt_ >= kStallLimit) {
    EndConnection(now, kTurnInterval);  // a message that stopped coming
    return;
  }
  if (now >= dropAt_ && DropForChurn(now)) return;
  if (lastKeepAlive_ == kNever || now >= lastKeepAlive_ + kKeepAliveInterval) {
    Send(now, kKeepAlive);
    lastKeepAlive_ = now;
  }
  if (lastTimedNotice_ == kNever || now >= lastTimedNotice_ + kNoticeInterval) {
    const int32_t additions = table_.AdditionsBy(now);
    if (additions != lastNoticedAdditions_) {
      lastNoticedAdditions_ = additions;
      lastTimedNotice_ = now;
      SendNotice(now);
    }
  }
  if (ready_) HandleMessage(now);
}

bool SimulatedAgent::DropForChurn(FleetTime now) {
  // Dropped between a page and the request after it, the page would be
  // stored but never proven: the server, its cursor at the announced id,
  // asks nothing more. So a drop waits for that request, takes the proof it
  // brings and leaves it unanswered, as a connection that breaks mid-drain.
  if (pageAwaitingProof_) {
    if (!ready_ || current_.type != kReportRowsRequest) return false;
    RecordProof(static_cast<int32_t>(GetU32(body_.data())));
  }
  EndConnection(now, FleetTime{0});  // reconnect at once
  return true;
}

// ---- The connection ----------------------------------------------------------

bool SimulatedAgent::WantsSocket() const {
  return phase_ == Phase::Connecting || phase_ == Phase::Handshake || phase_ == Phase::Connected;
}

void SimulatedAgent::ConnectStarted(std::size_t server, FleetTime now) {
  ++connection_;
  ++shared_.statistics.connectAttempts;
  server_ = server;
  phase_ = Phase::Connecting;
  deadline_ = now + kHandshakeLimit;
  handshakeFilled_ = 0;
  output_.clear();
  outputSent_ = 0;
  ResetInput();
}

void SimulatedAgent::Connected(FleetTime now) {
  if (phase_ != Phase::Connecting) return;
  phase_ = Phase::Handshake;
  deadline_ = now + kHandshakeLimit;
  Send(now, kHello, id_);
}

void SimulatedAgent::ConnectFailed(FleetTime now) {
  if (phase_ != Phase::Connecting) return;
  ++shared_.statistics.connectFailures;
  EndAttempt(now, kConnectRetryWait);
}

void SimulatedAgent::ConnectionLost(FleetTime now) {
  if (phase_ == Phase::Connecting || phase_ == Phase::Handshake) {
    ++shared_.statistics.connectFailures;
    EndAttempt(now, kConnectRetryWait);
  } else if (phase_ == Phase::Connected) {
    EndConnection(now, FleetTime{0});
  }
}

void SimulatedAgent::EndAttempt(FleetTime now, FleetTime retryAfter) {
  phase_ = retryAfter.count() > 0 ? Phase::Waiting : Phase::ConnectNow;
  deadline_ = now + retryAfter;
  output_.clear();
  outputSent_ = 0;
  ResetInput();
  // A file cut short is dropped: the client starts nothing it did not read whole.
  inUpdate_ = false;
}

void SimulatedAgent::EndConnection(FleetTime now, FleetTime retryAfter) {
  if (awaitingConfirmation_) {
    ++unconfirmedDeliveries_;
    ++shared_.statistics.unconfirmedDeliveries;
    awaitingConfirmation_ = false;
    confirmationEndsAt_.reset();
  }
  --shared_.statistics.connected;
  ++shared_.statistics.reconnects;
  EndAttempt(now, retryAfter);
}

void SimulatedAgent::ResetInput() {
  headerFilled_ = 0;
  bodyFilled_ = 0;
  ready_ = false;
  Release(body_);
}

// ---- Input -------------------------------------------------------------------

std::span<uint8_t> SimulatedAgent::ReadSpace() {
  if (phase_ == Phase::Handshake) {
    // The header first, so a wrong one ends the attempt before the status byte is read.
    const std::size_t wanted = handshakeFilled_ < kHeaderSize ? kHeaderSize : handshake_.size();
    return std::span<uint8_t>(handshake_).subspan(handshakeFilled_, wanted - handshakeFilled_);
  }
  if (phase_ != Phase::Connected) return {};
  if (inUpdate_)
    return std::span<uint8_t>(shared_.updatePiece).first(std::min<std::size_t>(updateLeft_, kUpdateReadPiece));
  if (ready_) return {};
  if (headerFilled_ < kHeaderSize) return std::span<uint8_t>(header_).subspan(headerFilled_);
  return std::span<uint8_t>(body_).subspan(bodyFilled_);
}

void SimulatedAgent::Received(std::size_t count, FleetTime now) {
  if (count == 0) return;
  if (phase_ == Phase::Handshake) {
    handshakeFilled_ = std::min(handshakeFilled_ + count, handshake_.size());
    ReceivedHandshake(now);
  } else if (phase_ == Phase::Connected) {
    if (inUpdate_)
      ReceivedUpdateBytes(count, now);
    else
      ReceivedMessageBytes(count, now);
  }
}

void SimulatedAgent::ReceivedHandshake(FleetTime now) {
  if (handshakeFilled_ == kHeaderSize) {
    const auto header = DecodeHeader(handshake_.data());
    if (!header || header->type != kHelloReply) {  // its length is not looked at
      ++shared_.statistics.connectFailures;
      EndAttempt(now, kConnectRetryWait);
    }
    return;
  }
  if (handshakeFilled_ < handshake_.size()) return;
  if (handshake_[kHeaderSize] == 0) {
    ++shared_.statistics.helloRefused;
    EndAttempt(now, kConnectRetryWait);
    return;
  }
  phase_ = Phase::Connected;
  FleetStatistics& statistics = shared_.statistics;
  statistics.maxConnected = std::max(statistics.maxConnected, ++statistics.connected);
  lastKeepAlive_ = lastTimedNotice_ = kNever;
  dropAt_ = kNever;
  pageAwaitingProof_ = false;
  if (shared_.reconnectMean.count() > 0) {
    std::exponential_distribution<double> untilDrop(1.0 / static_cast<double>(shared_.reconnectMean.count()));
    dropAt_ = now + FleetTime(std::llround(untilDrop(shared_.random)));
  }
  ResetInput();
}

void SimulatedAgent::ReceivedMessageBytes(std::size_t count, FleetTime now) {
  lastInputAt_ = now;
  if (headerFilled_ < kHeaderSize) {
    headerFilled_ = std::min(headerFilled_ + count, kHeaderSize);
    if (headerFilled_ == kHeaderSize) HeaderComplete(now);
    return;
  }
  bodyFilled_ = std::min(bodyFilled_ + count, body_.size());
  if (bodyFilled_ == body_.size()) {
    ready_ = true;
    readyAt_ = now;
  }
}

void SimulatedAgent::HeaderComplete(FleetTime now) {
  const auto header = DecodeHeader(header_.data());
  if (!header) {
    EndConnection(now, FleetTime{0});  // the stream cannot be followed: the client closes at once
    return;
  }
  current_ = *header;
  // The body the client reads before handling the message: the request's 8
  // bytes, a policySet's body within its bound. An update's file is read
  // when its turn comes; nothing else has a body the client reads.
  std::size_t body = 0;
  if (current_.type == kReportRowsRequest) body = 8;
  if (current_.type == kPolicySet && current_.length <= kMaxPolicySetBody) body = current_.length;
  body_.resize(body);
  bodyFilled_ = 0;
  if (body == 0) {
    ready_ = true;
    readyAt_ = now;
  }
}

void SimulatedAgent::ReceivedUpdateBytes(std::size_t count, FleetTime now) {
  lastInputAt_ = now;
  count = std::min<std::size_t>({count, updateLeft_, kUpdateReadPiece});
  updateHash_ = UpdateHash(updateHash_, std::span<const uint8_t>(shared_.updatePiece).first(count));
  updateLeft_ -= static_cast<uint32_t>(count);
  if (updateLeft_ == 0) FinishUpdate();
}

// ---- Messages ----------------------------------------------------------------

void SimulatedAgent::HandleMessage(FleetTime now) {
  switch (current_.type) {
    case kStatusRequest:
      AnswerStatus(now);
      break;
    case kReportNoticeRequest:
      SendNotice(now);  // the timed notice's bookkeeping stays as it is
      break;
    case kReportRowsRequest:
      AnswerRows(now);
      break;
    case kPolicyDigestRequest:
      Send(now, kPolicyDigestReply, U32Bytes(held_->digest));
      break;
    case kPolicySet:
      if (current_.length > kMaxPolicySetBody) {
        EndConnection(now, kTurnInterval);  // ended unread
        return;
      }
      ApplyPolicySet();
      break;
    case kUpdatePush:
      StartUpdate(now);
      break;
    default:
      break;  // only its header is read
  }
  ResetInput();
}

void SimulatedAgent::AnswerStatus(FleetTime now) {
  StatusRecord record;
  record.uptimeSeconds =
      static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(now - table_.Start()).count());
  // The simulated agent follows its parent for every item, so its drives
  // are locked as the parent policy it holds says.
  record.lockCdDvd = held_->policy.lockCdDvd__Parent != 0;
  record.lockFloppy = held_->policy.lockFloppy__Parent != 0;
  const std::string name = ComputerName(index_);
  record.computerName.assign(name.begin(), name.end());
  record.windowsVersion = kWindowsVersion;
  Send(now, kStatusReply, EncodeStatusRecord(record));
  if (awaitingConfirmation_ && !confirmationEndsAt_) confirmationEndsAt_ = output_.size();
}

void SimulatedAgent::SendNotice(FleetTime now) {
  Send(now, kReportNotice, U32Bytes(static_cast<uint32_t>(table_.CreatedBy(now))));
}

void SimulatedAgent::AnswerRows(FleetTime now) {
  const int32_t afterId = static_cast<int32_t>(GetU32(body_.data()));
  const int32_t rowLimit = static_cast<int32_t>(GetU32(body_.data() + 4));
  RecordProof(afterId);
  pageAwaitingProof_ = false;

  std::vector<uint8_t>& block = shared_.rowsBlock;
  const RowsSent sent = BuildRowsBlock(table_, index_, shared_.wallSecondsAtZero, afterId, rowLimit, now, block);
  ServerProgress& server = servers_[std::min(server_, servers_.size() - 1)];
  if (sent.Count() > 0) {
    shared_.statistics.rowsResent +=
        static_cast<uint64_t>(std::max(0, std::min(sent.last, server.sent) - sent.first + 1));
    server.sent = std::max(server.sent, sent.last);
    pageAwaitingProof_ = true;
  }
  Send(now, kReportRowsReply, block, static_cast<uint32_t>(block.size()));
}

void SimulatedAgent::RecordProof(int32_t afterId) {
  ServerProgress& server = servers_[std::min(server_, servers_.size() - 1)];
  FleetStatistics& statistics = shared_.statistics;
  if (afterId < server.proven) {
    ++statistics.cursorRegressions;
    if (shared_.log)
      shared_.log->Warn("CURSOR REGRESSION: agent " + ClientIdHex(id_) + " was asked by server " +
                        std::to_string(server_ + 1) + " for rows after id " + std::to_string(afterId) +
                        (shared_.sharedStore ? ", but the store they share" : ", but that server") +
                        " had already stored up to id " + std::to_string(server.proven) + ": it lost committed rows");
    return;
  }
  // A server cannot have stored a row that did not exist when it asked (a
  // higher after-id comes from a store that outlived an earlier run).
  server.proven = std::max(server.proven, std::min(afterId, table_.CreatedBy(readyAt_)));
  if (server.proven <= proven_) return;

  int32_t first = proven_ + 1;
  const int32_t last = server.proven;
  // The backlog's rows share one creation time.
  const int32_t lastOfBacklog = std::min(last, shared_.reports.backlog);
  if (first <= lastOfBacklog) {
    statistics.delays.Add(readyAt_ - table_.CreatedAt(first), static_cast<uint64_t>(lastOfBacklog - first + 1));
    first = lastOfBacklog + 1;
  }
  for (int32_t id = first; id <= last; ++id) statistics.delays.Add(readyAt_ - table_.CreatedAt(id));
  statistics.rowsStored += static_cast<uint64_t>(last - proven_);
  proven_ = last;
}

void SimulatedAgent::ApplyPolicySet() {
  const DecodedPolicyList list = DecodePolicyList(body_.data(), body_.size());
  // A list that claims more than its body holds changes nothing.
  if (!list.complete) return;
  held_ = shared_.policies.Hold(ApplyPolicyEntries(list.entries, held_->policy));
}

void SimulatedAgent::StartUpdate(FleetTime now) {
  inUpdate_ = true;
  updateLeft_ = current_.length;
  updateHash_ = kUpdateHashStart;
  lastInputAt_ = now;
  if (updateLeft_ == 0) FinishUpdate();
}

void SimulatedAgent::FinishUpdate() {
  inUpdate_ = false;
  awaitingConfirmation_ = true;
  confirmationEndsAt_.reset();
  ++deliveries_;
  updateBytes_ += current_.length;
  lastUpdateHash_ = updateHash_;
  ++shared_.statistics.deliveries;
  shared_.statistics.updateBytes += current_.length;
}

// ---- Output ------------------------------------------------------------------

void SimulatedAgent::Send(FleetTime now, uint16_t type, std::span<const uint8_t> body, uint32_t length) {
  if (Output().empty()) lastOutputAt_ = now;
  const auto header = EncodeHeader(MessageHeader{type, length});
  output_.insert(output_.end(), header.begin(), header.end());
  output_.insert(output_.end(), body.begin(), body.end());
}

std::span<const uint8_t> SimulatedAgent::Output() const {
  return std::span<const uint8_t>(output_).subspan(outputSent_);
}

void SimulatedAgent::Sent(std::size_t count, FleetTime now) {
  outputSent_ = std::min(outputSent_ + count, output_.size());
  lastOutputAt_ = now;
  if (confirmationEndsAt_ && outputSent_ >= *confirmationEndsAt_) {
    awaitingConfirmation_ = false;
    confirmationEndsAt_.reset();
  }
  if (outputSent_ == output_.size()) {
    Release(output_);
    outputSent_ = 0;
  }
}

}  // namespace vx::fleet
