// The connection to the management server: set-up with the hello exchange,
// the two exact-count receive routines every reader uses, and whole sends.
//
// Bounds (so one server can neither hold the thread nor exhaust memory): the
// hello reply and a policySet body wait at most 30 seconds without progress;
// every send waits at most 30 seconds for the socket to take more bytes.
// Headers, requests and update chunks give up after 2000 empty polls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "management/management_settings.h"
#include "management/protocol/message_header.h"
#include "management/session_clock.h"
#include "management/socket_layer.h"

namespace vx::management {

inline constexpr uint32_t kRetryBudget = 2000;         // empty polls for headers, requests and update chunks
inline constexpr int kHandshakeTimeLimitSeconds = 30;  // without progress, for the hello reply
inline constexpr int kBodyTimeLimitSeconds = 30;       // without progress, for a policySet body
inline constexpr int kSendTimeLimitSeconds = 30;       // without progress, for every send
inline constexpr uint32_t kWritableWaitSliceMs = 1000;

// One open connection and what it runs over.
struct Connection {
  SocketLayer& sockets;
  SessionClock& clock;
  SocketHandle socket = kInvalidSocket;
};

// Resolves the server's name, connects to the last of its IPv4 addresses at
// `port` in blocking mode, sends the hello (header, then the client id),
// switches the socket to non-blocking mode and reads the reply: a header of
// type 4 with a valid checksum (its length not looked at) and a non-zero
// status byte. Returns the socket, which the caller closes, or kInvalidSocket
// (nothing is resolved or sent when the server mode is 0; a socket that was
// created is closed). `connectedAddress`, when given, receives the address
// connected to.
[[nodiscard]] SocketHandle ConnectToServer(const ManagementSettings& settings, SocketLayer& sockets,
                                           SessionClock& clock, uint16_t port, uint32_t* connectedAddress = nullptr);

// Reads until `count` bytes are in `buffer`. Returns the bytes placed (fewer
// than `count` when the peer closed the connection) or -1 on a receive error,
// or on the would-block report that uses up a non-zero `retryBudget` (0 means
// no limit); 1 ms sleep between empty polls. A count of 0 reads nothing.
[[nodiscard]] int ReceiveExact(const Connection& connection, uint8_t* buffer, int count, uint32_t retryBudget);

// Like ReceiveExact, but an empty poll yields instead of sleeping, and the
// call fails with -1 once more than `timeLimitSeconds` (0: no limit) passed
// on the wall clock since the last byte arrived. A clock set back counts
// from the moment it was set back.
[[nodiscard]] int ReceiveExactWithin(const Connection& connection, uint8_t* buffer, int count, int timeLimitSeconds);

// Hands all `count` bytes to the socket, over as many send calls as it takes,
// waiting for writability in between. False on a send error, or when the
// socket took nothing for 30 seconds (by the wall clock, or 30 waits of one
// second each); the connection must then end.
[[nodiscard]] bool SendWhole(const Connection& connection, const uint8_t* bytes, std::size_t count);

// A header, then (in a second send, when there is one) its body.
[[nodiscard]] bool SendHeaderAndBody(const Connection& connection, MessageHeader header, const uint8_t* body = nullptr,
                                     std::size_t bodySize = 0);

}  // namespace vx::management
