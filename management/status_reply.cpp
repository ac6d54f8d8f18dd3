#include "management/status_reply.h"

#include "management/protocol/message_catalogue.h"

namespace vx::management {

StatusRecord BuildStatusRecord(StatusSource& status, const PolicyStore& policy) {
  StatusRecord record;
  record.computerName = status.ComputerName();
  record.onBattery = status.AcLineStatus() == kAcLineOffline;
  record.windowsVersion = status.Version();
  policy.Read([&](const PolicyState& s) {
    record.lockCdDvd = s.lockCdDvd != 0;
    record.lockFloppy = s.lockFloppy != 0;
    record.statusWord = s.statusWord;
  });
  record.uptimeSeconds = status.TickCount() / 1000;
  return record;
}

Outcome AnswerStatusRequest(const Connection& connection, StatusSource& status, const PolicyStore& policy) {
  const auto body = EncodeStatusRecord(BuildStatusRecord(status, policy));
  return SendHeaderAndBody(connection, MessageHeader{kStatusReply, 0}, body.data(), body.size())
             ? Outcome::KeepConnection
             : Outcome::EndConnection;
}

}  // namespace vx::management
