#include "server/agent_session.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "management/protocol/little_endian.h"
#include "management/protocol/message_catalogue.h"
#include "management/protocol/parent_policy.h"
#include "management/protocol/policy_list.h"
#include "management/protocol/status_record.h"
#include "server/store/agent_text.h"

namespace vx::server {
namespace {

using namespace vx::management;

constexpr std::size_t kUpdateChunkBytes = 65536;
// A body buffer above this is released after its message, so an idle
// session holds little memory however large its last rows block was.
constexpr std::size_t kKeptBodyCapacity = 4096;
constexpr uint32_t kNoRowLimit = 0xFFFFFFFF;  // -1: as many rows as fit in one block

std::string Hex32(uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string Seconds(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
  return text;
}

}  // namespace

AgentSession::AgentSession(Store& store, ServerClock& clock, SessionLog& log, AgentDirectory& directory,
                           AssignmentEncodings& encodings, const SessionSettings& settings, std::string peerAddress)
    : store_(store),
      clock_(clock),
      log_(log),
      directory_(directory),
      encodings_(encodings),
      settings_(settings),
      peerAddress_(std::move(peerAddress)) {
  startedMs_ = lastInputMs_ = lastOutputMs_ = Now();
}

AgentSession::~AgentSession() {
  if (!ended_) End(LogLevel::Info, "closed by the server");
}

// ---- Input -----------------------------------------------------------------

std::span<uint8_t> AgentSession::ReadSpace() {
  if (ended_) return {};
  if (!inBody_) return std::span<uint8_t>(header_.data() + headerFilled_, kHeaderSize - headerFilled_);
  return std::span<uint8_t>(body_.data() + bodyFilled_, bodyNeeded_ - bodyFilled_);
}

void AgentSession::Received(std::size_t count) {
  if (ended_ || count == 0) return;
  lastInputMs_ = Now();
  if (!inBody_) {
    headerFilled_ += std::min(count, kHeaderSize - headerFilled_);
    if (headerFilled_ == kHeaderSize) HeaderComplete();
  } else {
    bodyFilled_ += std::min(count, bodyNeeded_ - bodyFilled_);
    if (bodyFilled_ == bodyNeeded_) MessageComplete();
  }
}

void AgentSession::Feed(std::span<const uint8_t> bytes) {
  while (!bytes.empty() && !ended_) {
    const std::span<uint8_t> space = ReadSpace();
    const std::size_t count = std::min(space.size(), bytes.size());
    std::memcpy(space.data(), bytes.data(), count);
    Received(count);
    bytes = bytes.subspan(count);
  }
}

void AgentSession::ConnectionLost(const std::string& reason) { End(LogLevel::Info, reason); }

void AgentSession::HeaderComplete() {
  headerFilled_ = 0;
  const auto header = DecodeHeader(header_.data());
  if (!header) return End(LogLevel::Warning, "a header with a wrong checksum");
  const MessageKind* kind = FindMessage(header->type);
  if (!kind || kind->direction != Direction::ClientToServer)
    return End(LogLevel::Warning,
               "a message of type " + std::to_string(header->type) + ", which an agent does not send");
  if (phase_ == Phase::AwaitingHello && header->type != kHello)
    return End(LogLevel::Warning, "a message of type " + std::to_string(header->type) + " before the hello");
  if (phase_ == Phase::Serving && header->type == kHello) return End(LogLevel::Warning, "a second hello");

  std::size_t bodySize = kind->fixedBodySize;
  if (kind->lengthField == LengthField::BodySize) {
    if (header->length > kMaxRowsBlockSize)
      return End(LogLevel::Warning, "a rows block of " + std::to_string(header->length) + " bytes, above " +
                                        std::to_string(kMaxRowsBlockSize));
    bodySize = header->length;
  } else if (header->length != 0) {
    return End(LogLevel::Warning, std::string(kind->name) + " with a length field of " +
                                      std::to_string(header->length) + " (it must be 0)");
  }
  // Replies only to requests in flight: a reply nobody asked for is not read.
  const bool unasked = (header->type == kStatusReply && statusReplies_ >= statusRequests_) ||
                       (header->type == kPolicyDigestReply && digestReplies_ >= digestRequests_) ||
                       (header->type == kReportRowsReply && !rowsRequested_);
  if (unasked) return End(LogLevel::Warning, std::string("a ") + std::string(kind->name) + " nobody asked for");

  current_ = *header;
  bodyNeeded_ = bodySize;
  bodyFilled_ = 0;
  body_.resize(bodySize);
  if (bodySize == 0) return MessageComplete();
  inBody_ = true;
}

void AgentSession::MessageComplete() {
  inBody_ = false;
  switch (current_.type) {
    case kHello:
      OnHello();
      break;
    case kKeepAlive:
      OnKeepAlive();
      break;
    case kStatusReply:
      OnStatusReply();
      break;
    case kReportNotice:
      OnReportNotice(static_cast<int32_t>(GetU32(body_.data())));
      break;
    case kReportRowsReply:
      OnRowsReply();
      break;
    case kPolicyDigestReply:
      OnDigestReply(GetU32(body_.data()));
      break;
    default:
      break;  // HeaderComplete lets no other type through
  }
  if (body_.capacity() > kKeptBodyCapacity) body_ = std::vector<uint8_t>();
}

void AgentSession::OnHello() {
  AgentId id{};
  std::copy_n(body_.begin(), id.size(), id.begin());
  agent_ = id;
  const auto hello = store_.RecordHello(id, settings_.enrollMode, peerAddress_, clock_.WallSeconds());
  if (!hello) return End(LogLevel::Error, "cannot record its hello: " + hello.error());
  if (hello->newAgent)
    log_.Write(LogLevel::Info, Who() + ": enrolled, " +
                                   (hello->enrollment == Enrollment::Approved
                                        ? std::string("approved")
                                        : "pending approval (vxmgmtd agents approve " + AgentIdHex(id) + ")"));
  const uint8_t refuse[] = {0};
  const LogLevel refusalLevel = hello->newAgent ? LogLevel::Info : LogLevel::Debug;
  if (hello->enrollment == Enrollment::Pending) {
    Send(kHelloReply, refuse);
    return End(refusalLevel, "refused: pending approval", true);
  }
  if (hello->enrollment == Enrollment::Revoked) {
    Send(kHelloReply, refuse);
    return End(refusalLevel, "refused: revoked", true);
  }
  std::string holder;
  if (!directory_.Claim(id, *this, holder)) {
    Send(kHelloReply, refuse);
    return End(LogLevel::Warning, "refused: the agent is connected already from " + holder, true);
  }
  claimed_ = true;
  // Another instance sharing the store may hold the agent.
  const auto claim = store_.ClaimConnection(id, settings_.instanceId, clock_.WallSeconds());
  if (!claim) return End(LogLevel::Error, "cannot record the connection: " + claim.error());
  if (!claim->claimed) {
    Send(kHelloReply, refuse);
    return End(LogLevel::Warning,
               "refused: the agent is connected already through instance " + std::to_string(claim->holder.value_or(0)),
               true);
  }
  storeClaimed_ = true;
  const uint8_t accept[] = {1};
  Send(kHelloReply, accept);
  phase_ = Phase::Serving;
  const auto cursor = store_.GetReportCursor(id);
  if (!cursor) return End(LogLevel::Error, "cannot read its report cursor: " + cursor.error());
  cursor_ = *cursor;
  if (const auto record = store_.FindAgent(id)) policy_ = record->policy;
  log_.Write(LogLevel::Info, Who() + ": connected (report epoch " + std::to_string(cursor_.epoch) + ", last id " +
                                 std::to_string(cursor_.lastId) + ")");

  RequestStatus();
  nextStatusMs_ = Now() + settings_.statusIntervalMs;
  LoadAssignment();
  policy_.tries = 0;
  RequestDigest();
  // Asked at every connection, so rows stored while the agent was away are
  // fetched now rather than at its next timed notice.
  Send(kReportNoticeRequest);
  StartNextUpdate();
}

void AgentSession::OnKeepAlive() {
  if (const auto seen = store_.RecordSeen(*agent_, clock_.WallSeconds()); !seen)
    log_.Write(LogLevel::Warning, Who() + ": cannot record its keep-alive: " + seen.error());
}

void AgentSession::OnStatusReply() {
  ++statusReplies_;
  const auto record = DecodeStatusRecord(body_.data(), body_.size());
  if (record) {
    AgentStatus status;
    status.computerName = AgentTextToUtf8(record->computerName);
    status.uptimeSeconds = record->uptimeSeconds;
    status.lockCdDvd = record->lockCdDvd;
    status.lockFloppy = record->lockFloppy;
    status.statusWord = record->statusWord;
    status.onBattery = record->onBattery;
    status.windowsVersion = record->windowsVersion;
    status.receivedAt = clock_.WallSeconds();
    if (const auto stored = store_.RecordStatus(*agent_, status); !stored)
      log_.Write(LogLevel::Warning, Who() + ": cannot store its status: " + stored.error());
  }
  if (update_ && updateConfirmedByStatusReply_ && statusReplies_ >= *updateConfirmedByStatusReply_) {
    const auto delivered = store_.MarkUpdateDelivered(update_->updateId, clock_.WallSeconds());
    if (!delivered && delivered.failure() != StoreFailure::NotFound)
      return End(LogLevel::Error, "cannot record the delivery of update " + std::to_string(update_->updateId) + ": " +
                                      delivered.error());
    log_.Write(LogLevel::Info, Who() + ": update " + std::to_string(update_->updateId) + " (\"" + update_->name +
                                   "\", " + std::to_string(update_->size) + " bytes) delivered");
    update_.reset();
    updateConfirmedByStatusReply_.reset();
    StartNextUpdate();
  }
}

// ---- Reports -----------------------------------------------------------------

void AgentSession::OnReportNotice(int32_t announcedId) {
  announcedId_ = announcedId;
  if (const auto recorded = store_.RecordAnnouncedReportId(*agent_, announcedId); !recorded)
    log_.Write(LogLevel::Warning, Who() + ": cannot record its report notice: " + recorded.error());
  // 0 is what an agent announces for an empty table and for one it could not
  // read: it says nothing about what the agent holds.
  if (announcedId <= 0) return;
  if (announcedId < cursor_.lastId) {
    // Its newest row is below rows it sent before: its report database was
    // recreated. A page in flight is stored first, then the epoch changes.
    if (rowsRequested_) {
      epochChangeAfterPage_ = true;
      return;
    }
    if (!StartEpoch()) return;
  }
  if (announcedId > cursor_.lastId && !rowsRequested_) {
    emptyPages_ = 0;
    retryRowsAtMs_.reset();
    RequestRows();
  }
}

bool AgentSession::StartEpoch() {
  const int32_t below = cursor_.lastId;
  const auto next = store_.StartReportEpoch(*agent_, cursor_.epoch, clock_.WallSeconds());
  if (!next) {
    End(LogLevel::Error, "cannot start a report epoch: " + next.error());
    return false;
  }
  cursor_ = *next;
  log_.Write(LogLevel::Info, Who() + ": its newest report id " + std::to_string(announcedId_) +
                                 " is below the stored " + std::to_string(below) +
                                 " (its report database was recreated): report epoch " + std::to_string(cursor_.epoch) +
                                 " starts");
  return true;
}

void AgentSession::RequestRows() {
  std::array<uint8_t, 8> request{};
  PutU32(request.data(), static_cast<uint32_t>(cursor_.lastId));
  PutU32(request.data() + 4, kNoRowLimit);
  Send(kReportRowsRequest, request);
  rowsRequested_ = true;
  requestedAfter_ = cursor_.lastId;
  if (!draining_) {
    draining_ = true;
    drainStartMs_ = lastProgressMs_ = Now();
    drainStored_ = 0;
    pagesThisDrain_ = 0;
  }
}

void AgentSession::OnRowsReply() {
  rowsRequested_ = false;
  const auto rows = DecodeRowsBlock(body_.data(), body_.size());
  if (!rows) return End(LogLevel::Warning, "a rows block that does not decode");
  if (!rows->empty()) {
    const bool progress =
        std::any_of(rows->begin(), rows->end(), [&](const DecodedRow& row) { return row.id > requestedAfter_; });
    // A page without a row after the one asked for would be asked for again
    // and again.
    if (!progress)
      return End(LogLevel::Warning, "a rows block with no row after id " + std::to_string(requestedAfter_));
    StorePage(*rows);
    if (ended_) return;
  }
  if (epochChangeAfterPage_) {
    epochChangeAfterPage_ = false;
    if (!StartEpoch()) return;
    if (announcedId_ > 0) RequestRows();
    return;
  }
  if (!rows->empty()) {
    emptyPages_ = 0;
    LogProgress(false);
    RequestRows();
    return;
  }
  // An empty page ends the drain, unless the last notice announced rows that
  // did not come (the agent could not read its database just then).
  if (announcedId_ > cursor_.lastId && emptyPages_ < settings_.emptyPageRetries) {
    ++emptyPages_;
    retryRowsAtMs_ = Now() + settings_.emptyPageRetryMs;
    return;
  }
  if (draining_) LogProgress(true);
  draining_ = false;
}

void AgentSession::StorePage(const std::vector<DecodedRow>& rows) {
  std::vector<ReportRowRecord> records;
  records.reserve(rows.size());
  for (const DecodedRow& row : rows)
    records.push_back(ReportRowRecord{row.id, row.time, AgentTextToUtf8(row.vendor), AgentTextToUtf8(row.product),
                                      AgentTextToUtf8(row.serial), row.action});
  const auto stored = store_.StoreReportPage(*agent_, cursor_.epoch, records, clock_.WallSeconds());
  if (!stored) return End(LogLevel::Error, "cannot store report rows: " + stored.error());
  log_.Write(LogLevel::Debug, Who() + ": page after id " + std::to_string(requestedAfter_) + ": " +
                                  std::to_string(rows.size()) + " rows in " + std::to_string(body_.size()) +
                                  " bytes, " + std::to_string(*stored) + " new");
  drainStored_ += *stored;
  ++pagesThisDrain_;
  for (const ReportRowRecord& record : records) cursor_.lastId = std::max(cursor_.lastId, record.id);
}

void AgentSession::LogProgress(bool final) {
  const int64_t now = Now();
  const int64_t elapsed = std::max<int64_t>(1, now - drainStartMs_);
  const double perSecond = static_cast<double>(drainStored_) * 1000.0 / static_cast<double>(elapsed);
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.0f", perSecond);
  if (final) {
    // A drain of more than one page is news; the rows a busy agent makes a
    // minute at a time are not, and at info level a large fleet's log would
    // grow by a line for each of them (gigabytes a day).
    const LogLevel level = pagesThisDrain_ > 1 ? LogLevel::Info : LogLevel::Debug;
    if (drainStored_ > 0)
      log_.Write(level, Who() + ": backlog drained: " + std::to_string(drainStored_) + " rows stored in " +
                            Seconds(elapsed) + " (" + rate + " rows/s), last id " + std::to_string(cursor_.lastId));
    return;
  }
  if (now - lastProgressMs_ < settings_.progressIntervalMs) return;
  lastProgressMs_ = now;
  const int64_t left = std::max<int64_t>(0, static_cast<int64_t>(announcedId_) - cursor_.lastId);
  log_.Write(LogLevel::Info, Who() + ": draining: " + std::to_string(drainStored_) + " rows stored, " +
                                 std::to_string(left) + " left by the last notice, " + rate + " rows/s");
}

// ---- Policy ------------------------------------------------------------------

void AgentSession::LoadAssignment() {
  const auto assignment = store_.AssignedPolicy(*agent_);
  if (!assignment) {
    log_.Write(LogLevel::Warning, Who() + ": cannot read its policy assignment: " + assignment.error());
    return;
  }
  assignment_ = assignment->source == PolicySource::None ? nullptr : encodings_.For(assignment->policy);
}

void AgentSession::Follow(std::shared_ptr<const EncodedAssignment> assignment) {
  // Equal assignments share one encoding, so the pointer tells a change.
  if (assignment == assignment_) return;
  assignment_ = std::move(assignment);
  policy_.tries = 0;
  RequestDigest();
}

void AgentSession::RequestDigest() {
  if (digestRequests_ > digestReplies_) return;  // the reply on its way is judged against what is current then
  Send(kPolicyDigestRequest);
  ++digestRequests_;
}

void AgentSession::OnDigestReply(uint32_t digest) {
  ++digestReplies_;
  policy_.heldDigest = digest;
  policy_.expectedDigest =
      assignment_ ? std::optional<uint32_t>(assignment_->expectedDigest) : std::optional<uint32_t>();
  policy_.checkedAt = clock_.WallSeconds();
  if (!assignment_) {
    policy_.sync = PolicySync::Unmanaged;
    policy_.tries = 0;
  } else if (digest == assignment_->expectedDigest) {
    if (policy_.sync == PolicySync::Setting || policy_.sync == PolicySync::Drifted)
      log_.Write(LogLevel::Info, Who() + ": policy in line (digest " + Hex32(digest) + ")");
    policy_.sync = PolicySync::InSync;
    policy_.tries = 0;
  } else if (policy_.tries < kPolicyTries) {
    ++policy_.tries;
    policy_.sync = PolicySync::Setting;
    log_.Write(LogLevel::Info, Who() + ": policy differs (holds " + Hex32(digest) + ", expected " +
                                   Hex32(assignment_->expectedDigest) + "): policySet " +
                                   std::to_string(policy_.tries) + " of " + std::to_string(kPolicyTries));
    const std::vector<uint8_t>& body = assignment_->policySetBody;
    Send(kPolicySet, body, static_cast<uint32_t>(body.size()));
    RequestDigest();
  } else {
    if (policy_.sync != PolicySync::Drifted)
      log_.Write(LogLevel::Warning, Who() + ": policy drifted: holds " + Hex32(digest) + ", expected " +
                                        Hex32(assignment_->expectedDigest) + " after " + std::to_string(kPolicyTries) +
                                        " policySets");
    policy_.sync = PolicySync::Drifted;
  }
  RecordPolicy();
}

void AgentSession::RecordPolicy() {
  if (const auto recorded = store_.RecordPolicyState(*agent_, policy_); !recorded)
    log_.Write(LogLevel::Warning, Who() + ": cannot record its policy state: " + recorded.error());
}

void AgentSession::StoreChanged(const SessionView& view) {
  if (phase_ != Phase::Serving || ended_) return;
  if (const auto refused = view.notApproved.find(*agent_); refused != view.notApproved.end())
    return End(LogLevel::Info, std::string("ended: ") + EnrollmentName(refused->second) + " by an administrator");
  const auto own = view.own.find(*agent_);
  const management::ParentPolicy* assigned = own != view.own.end() ? &own->second : view.fleet ? &*view.fleet : nullptr;
  Follow(assigned ? encodings_.For(*assigned) : nullptr);
  if (view.waitingUpdates.contains(*agent_)) StartNextUpdate();
}

// ---- Updates -----------------------------------------------------------------

void AgentSession::StartNextUpdate() {
  if (update_ || phase_ != Phase::Serving || ended_) return;
  retryUpdateAtMs_.reset();
  const auto next = store_.ClaimNextUpdate(*agent_, settings_.instanceId, clock_.WallSeconds());
  if (!next) {
    log_.Write(LogLevel::Warning, Who() + ": cannot read its queued updates: " + next.error());
    return;
  }
  if (next->heldElsewhere) retryUpdateAtMs_ = Now() + settings_.updateRetryMs;
  if (!next->update) return;
  const UpdateRecord& update = *next->update;
  Send(kUpdatePush, {}, update.size);
  update_ = update;
  updateQueued_ = 0;
  log_.Write(LogLevel::Info, Who() + ": sending update " + std::to_string(update_->updateId) + " (\"" + update_->name +
                                 "\", " + std::to_string(update_->size) + " bytes)");
  FillUpdate();
}

void AgentSession::FillUpdate() {
  if (!update_ || updateConfirmedByStatusReply_ || ended_) return;
  while (updateQueued_ < update_->size && Output().size() < kUpdateChunkBytes) {
    const std::size_t chunk = std::min<std::size_t>(kUpdateChunkBytes, update_->size - updateQueued_);
    const std::size_t at = output_.size();
    if (Output().empty()) lastOutputMs_ = Now();
    output_.resize(at + chunk);
    const auto read = store_.ReadUpdateChunk(update_->updateId, updateQueued_, std::span(output_).subspan(at));
    if (!read) {
      output_.resize(at);
      // The agent holds a partial file; ending the connection makes it drop
      // the transfer and start nothing.
      return End(read.failure() == StoreFailure::NotFound ? LogLevel::Warning : LogLevel::Error,
                 "update " + std::to_string(update_->updateId) + " could not be sent: " + read.error());
    }
    updateQueued_ += static_cast<uint32_t>(chunk);
  }
  if (updateQueued_ < update_->size) return;
  // The whole file is queued: the request whose reply shows the agent has
  // read it all, then what waited behind it.
  RequestStatus();
  updateConfirmedByStatusReply_ = statusRequests_;
  Append(heldBack_);
  heldBack_.clear();
}

// ---- Output ------------------------------------------------------------------

std::span<const uint8_t> AgentSession::Output() const {
  return std::span<const uint8_t>(output_.data() + outputStart_, output_.size() - outputStart_);
}

void AgentSession::Sent(std::size_t count) {
  count = std::min(count, output_.size() - outputStart_);
  if (count == 0) return;
  outputStart_ += count;
  lastOutputMs_ = Now();
  if (outputStart_ == output_.size()) {
    // An idle session keeps little: the room an update's chunks took is
    // given back once they are sent.
    if (output_.capacity() > kKeptBodyCapacity)
      output_ = std::vector<uint8_t>();
    else
      output_.clear();
    outputStart_ = 0;
  } else if (outputStart_ >= kUpdateChunkBytes) {
    output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(outputStart_));
    outputStart_ = 0;
  }
  if (phase_ == Phase::Serving) FillUpdate();
}

void AgentSession::Send(uint16_t type, std::span<const uint8_t> body, std::optional<uint32_t> length) {
  const auto header = EncodeHeader(MessageHeader{type, length.value_or(0)});
  // Nothing may come between an updatePush header and its file bytes.
  const bool holdBack = update_ && updateQueued_ < update_->size;
  std::vector<uint8_t>& into = holdBack ? heldBack_ : output_;
  if (!holdBack && Output().empty()) lastOutputMs_ = Now();
  into.insert(into.end(), header.begin(), header.end());
  into.insert(into.end(), body.begin(), body.end());
}

void AgentSession::Append(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  if (Output().empty()) lastOutputMs_ = Now();
  output_.insert(output_.end(), bytes.begin(), bytes.end());
}

void AgentSession::RequestStatus() {
  Send(kStatusRequest);
  ++statusRequests_;
}

// ---- Time and ending -----------------------------------------------------------

void AgentSession::Tick() {
  if (ended_) return;
  const int64_t now = Now();
  const std::string stall = Seconds(settings_.stallMs);
  if (phase_ == Phase::AwaitingHello && now - startedMs_ > settings_.stallMs)
    return End(LogLevel::Warning, "no complete hello within " + stall);
  if ((headerFilled_ > 0 || inBody_) && now - lastInputMs_ > settings_.stallMs)
    return End(LogLevel::Warning, "a message stalled for " + stall);
  if (now - lastInputMs_ > settings_.silenceMs)
    return End(LogLevel::Warning, "silent for " + Seconds(settings_.silenceMs));
  if (!Output().empty() && now - lastOutputMs_ > settings_.stallMs)
    return End(LogLevel::Warning, "it took nothing of what was sent for " + stall);
  const bool awaiting = statusReplies_ < statusRequests_ || digestReplies_ < digestRequests_ || rowsRequested_;
  if (awaiting && Output().empty() && now - std::max(lastInputMs_, lastOutputMs_) > settings_.stallMs)
    return End(LogLevel::Warning, "no reply within " + stall);
  if (phase_ != Phase::Serving) return;
  if (now >= nextStatusMs_) {
    if (statusReplies_ == statusRequests_) RequestStatus();
    nextStatusMs_ = now + settings_.statusIntervalMs;
  }
  if (retryUpdateAtMs_ && now >= *retryUpdateAtMs_) StartNextUpdate();
  if (retryRowsAtMs_ && now >= *retryRowsAtMs_ && !rowsRequested_) {
    retryRowsAtMs_.reset();
    RequestRows();
  }
  if (draining_) LogProgress(false);
  FillUpdate();
}

void AgentSession::Stop(const std::string& reason) { End(LogLevel::Info, reason); }

void AgentSession::End(LogLevel level, const std::string& reason, bool flush) {
  if (ended_) return;
  ended_ = true;
  flushBeforeClose_ = flush;
  endReason_ = reason;
  phase_ = Phase::Over;
  if (!flush) {
    output_.clear();
    outputStart_ = 0;
  }
  heldBack_.clear();
  if (update_) {
    // Not delivered: the next session, here or on another instance, sends it.
    if (const auto released = store_.ReleaseUpdate(update_->updateId, settings_.instanceId); !released)
      log_.Write(LogLevel::Warning,
                 Who() + ": cannot release update " + std::to_string(update_->updateId) + ": " + released.error());
    update_.reset();
  }
  if (storeClaimed_) {
    storeClaimed_ = false;
    if (const auto disconnected = store_.ReleaseConnection(*agent_, settings_.instanceId, clock_.WallSeconds());
        !disconnected)
      log_.Write(LogLevel::Warning, Who() + ": cannot record the disconnection: " + disconnected.error());
  }
  if (claimed_) {
    claimed_ = false;
    directory_.Release(*agent_, *this);
  }
  log_.Write(level, Who() + ": session ended: " + reason);
}

std::string AgentSession::Who() const {
  if (!agent_) return peerAddress_;
  return "agent " + AgentIdHex(*agent_) + " (" + peerAddress_ + ")";
}

}  // namespace vx::server
