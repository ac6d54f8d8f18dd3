#include "management/connection.h"

#include <algorithm>
#include <array>
#include <limits>

#include "management/protocol/message_catalogue.h"

namespace vx::management {

SocketHandle ConnectToServer(const ManagementSettings& settings, SocketLayer& sockets, SessionClock& clock,
                             uint16_t port, uint32_t* connectedAddress) {
  if (settings.serverMode == 0) return kInvalidSocket;
  const std::vector<uint32_t> addresses = sockets.ResolveIpv4(settings.serverHost);
  if (addresses.empty()) return kInvalidSocket;
  // One address a call: the last one, so a name with several addresses
  // spreads its clients over them.
  const uint32_t address = addresses.back();
  const SocketHandle socket = sockets.ConnectBlocking(address, port);
  if (socket == kInvalidSocket) return kInvalidSocket;
  const Connection connection{sockets, clock, socket};

  const auto fail = [&] {
    sockets.Close(socket);
    return kInvalidSocket;
  };
  if (!SendHeaderAndBody(connection, MessageHeader{kHello, 0}, settings.clientId.data(), settings.clientId.size()))
    return fail();
  if (!sockets.SetNonBlocking(socket)) return fail();

  std::array<uint8_t, kHeaderSize> reply{};
  if (ReceiveExactWithin(connection, reply.data(), kHeaderSize, kHandshakeTimeLimitSeconds) !=
      static_cast<int>(kHeaderSize))
    return fail();
  const auto header = DecodeHeader(reply.data());
  if (!header || header->type != kHelloReply) return fail();  // the length is not looked at
  uint8_t status = 0;
  if (ReceiveExactWithin(connection, &status, 1, kHandshakeTimeLimitSeconds) != 1 || status == 0) return fail();

  if (connectedAddress) *connectedAddress = address;
  return socket;
}

int ReceiveExact(const Connection& connection, uint8_t* buffer, int count, uint32_t retryBudget) {
  int received = 0;
  while (received < count) {
    const int result = connection.sockets.Receive(connection.socket, buffer + received, count - received);
    if (result > 0) {
      received += result;
      continue;
    }
    if (result == 0) return received;  // the peer closed the connection
    if (!connection.sockets.LastCallWouldBlock()) return -1;
    // The budget counts empty polls only; progress does not restore it.
    if (retryBudget != 0 && --retryBudget == 0) return -1;
    connection.clock.SleepMilliseconds(1);
  }
  return received;
}

int ReceiveExactWithin(const Connection& connection, uint8_t* buffer, int count, int timeLimitSeconds) {
  int64_t lastProgress = connection.clock.WallSeconds();
  int received = 0;
  while (received < count) {
    const int result = connection.sockets.Receive(connection.socket, buffer + received, count - received);
    if (result > 0) {
      received += result;
      lastProgress = connection.clock.WallSeconds();
      continue;
    }
    if (result == 0) return received;
    if (!connection.sockets.LastCallWouldBlock()) return -1;
    const int64_t now = connection.clock.WallSeconds();
    if (now < lastProgress) lastProgress = now;  // the clock was set back
    if (timeLimitSeconds > 0 && now - lastProgress > timeLimitSeconds) return -1;
    connection.clock.YieldTimeSlice();
  }
  return received;
}

bool SendWhole(const Connection& connection, const uint8_t* bytes, std::size_t count) {
  constexpr std::size_t kMaxCall = std::numeric_limits<int>::max();
  int64_t lastProgress = connection.clock.WallSeconds();
  int idleWaits = 0;
  std::size_t sent = 0;
  while (sent < count) {
    const int result =
        connection.sockets.Send(connection.socket, bytes + sent, static_cast<int>(std::min(count - sent, kMaxCall)));
    if (result > 0) {
      sent += static_cast<std::size_t>(result);
      lastProgress = connection.clock.WallSeconds();
      idleWaits = 0;
      continue;
    }
    if (result == 0 || !connection.sockets.LastCallWouldBlock()) return false;
    const int64_t now = connection.clock.WallSeconds();
    if (now < lastProgress) lastProgress = now;
    if (now - lastProgress >= kSendTimeLimitSeconds || idleWaits >= kSendTimeLimitSeconds) return false;
    switch (connection.sockets.WaitWritable(connection.socket, kWritableWaitSliceMs)) {
      case WaitResult::Ready:
        break;
      case WaitResult::TimedOut:
        ++idleWaits;
        break;
      case WaitResult::Failed:
        return false;
    }
  }
  return true;
}

bool SendHeaderAndBody(const Connection& connection, MessageHeader header, const uint8_t* body, std::size_t bodySize) {
  const auto encoded = EncodeHeader(header);
  if (!SendWhole(connection, encoded.data(), encoded.size())) return false;
  return bodySize == 0 || SendWhole(connection, body, bodySize);
}

}  // namespace vx::management
