#include "management/session_loop.h"

#include <array>
#include <filesystem>
#include <vector>

#include "management/connection.h"
#include "management/policy_exchange.h"
#include "management/protocol/message_catalogue.h"
#include "management/report_upload.h"
#include "management/status_reply.h"
#include "management/update_delivery.h"
#include "monitor/install_dir.h"

namespace vx::management {
namespace {

// How a turn ends.
enum class TurnEnd {
  Continue,
  EndNow,         // the stream is broken: close at once, no sleep
  EndAfterSleep,  // a handler gave up: close after this turn's sleep
};

// Whether `now` has reached `stored` plus `interval`: the current time as a
// 64-bit value against the sum as an unsigned 32-bit value.
bool Reached(int64_t now, uint32_t stored, uint32_t interval) {
  return now >= static_cast<int64_t>(static_cast<uint32_t>(stored + interval));
}

class Session {
 public:
  explicit Session(ClientContext& context)
      : context_(context), reportDatabase_(DataFilePath(context.installDir, L"reportdb.dat")) {
    rowsBlock_.reserve(kMaxRowsBlockSize);
  }

  int Run() {
    if (!context_.sockets.StartUp()) return -1;
    lastSeenReportCount_ = 0;
    while (context_.serviceRunning.load()) {
      if (context_.settings.serverMode != 1) break;
      uint32_t address = 0;
      const SocketHandle socket =
          ConnectToServer(context_.settings, context_.sockets, context_.clock, context_.serverPort, &address);
      if (socket == kInvalidSocket) {
        context_.clock.SleepMilliseconds(kConnectRetryMs);
        continue;
      }
      Notify(true, address);
      RunConnection(Connection{context_.sockets, context_.clock, socket});
      context_.sockets.Close(socket);
      Notify(false, address);
    }
    context_.sockets.CleanUp();
    return 0;
  }

 private:
  void Notify(bool established, uint32_t address) {
    if (context_.onConnection) context_.onConnection(ConnectionEvent{established, address, context_.serverPort});
  }

  void RunConnection(const Connection& connection) {
    lastKeepAlive_ = 0;
    lastReportCheck_ = 0;
    while (context_.serviceRunning.load()) {
      const TurnEnd end = Turn(connection);
      if (end == TurnEnd::EndNow) return;
      context_.clock.SleepMilliseconds(kTurnSleepMs);
      if (end == TurnEnd::EndAfterSleep) return;
    }
  }

  TurnEnd Turn(const Connection& connection) {
    const int64_t now = context_.clock.WallSeconds();
    if (Reached(now, lastKeepAlive_, kKeepAliveIntervalSeconds)) {
      if (!SendHeaderAndBody(connection, MessageHeader{kKeepAlive, 0})) return TurnEnd::EndNow;
      lastKeepAlive_ = static_cast<uint32_t>(now);
    }
    if (Reached(now, lastReportCheck_, kReportCheckIntervalSeconds)) {
      const int32_t stored = context_.reportsStored.load();
      if (stored != lastSeenReportCount_) {
        lastSeenReportCount_ = stored;
        lastReportCheck_ = static_cast<uint32_t>(now);
        if (SendReportNotice(connection, reportDatabase_) == Outcome::EndConnection) return TurnEnd::EndNow;
      }
    }

    std::array<uint8_t, kHeaderSize> bytes{};
    const int first = context_.sockets.Receive(connection.socket, bytes.data(), kHeaderSize);
    if (first < 0) return context_.sockets.LastCallWouldBlock() ? TurnEnd::Continue : TurnEnd::EndNow;
    if (first == 0) return TurnEnd::EndNow;
    if (first < static_cast<int>(kHeaderSize)) {
      const int rest = ReceiveExact(connection, bytes.data() + first, kHeaderSize - first, kRetryBudget);
      if (rest <= 0) return TurnEnd::EndNow;
      if (first + rest < static_cast<int>(kHeaderSize)) return TurnEnd::Continue;  // closed mid-way: seen next turn
    }
    const auto header = DecodeHeader(bytes.data());
    if (!header) return TurnEnd::EndNow;
    return Dispatch(connection, *header) == Outcome::EndConnection ? TurnEnd::EndAfterSleep : TurnEnd::Continue;
  }

  // One server message. The length field of the four requests is not looked
  // at, and nothing after the header of an unknown type is read.
  Outcome Dispatch(const Connection& connection, MessageHeader header) {
    switch (header.type) {
      case kStatusRequest:
        return AnswerStatusRequest(connection, context_.status, context_.policy);
      case kReportNoticeRequest:
        // The timed notice's bookkeeping stays as it is.
        return SendReportNotice(connection, reportDatabase_);
      case kReportRowsRequest:
        return AnswerReportRows(connection, reportDatabase_, rowsBlock_);
      case kPolicyDigestRequest:
        return AnswerPolicyDigest(connection, context_.policy);
      case kPolicySet:
        return ApplyPolicySet(connection, header, context_.policy);
      case kUpdatePush:
        return ReceiveUpdate(connection, header, context_.installDir, context_.installer);
      default:
        return Outcome::KeepConnection;
    }
  }

  ClientContext& context_;
  const std::filesystem::path reportDatabase_;
  std::vector<uint8_t> rowsBlock_;  // the thread's one rows buffer
  int32_t lastSeenReportCount_ = 0;
  uint32_t lastKeepAlive_ = 0;
  uint32_t lastReportCheck_ = 0;
};

}  // namespace

int ManagementClientThread(ClientContext& context) {
  Session session(context);
  return session.Run();
}

}  // namespace vx::management
