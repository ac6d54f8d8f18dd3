// The few socket calls the management client makes, behind one interface so
// the same client code runs over Winsock (management/windows) and over BSD
// sockets (management/posix): natively on loopback in tests, under Wine and
// on Windows in the service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vx::management {

// A socket of the platform (a SOCKET or a file descriptor), or kInvalidSocket.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

enum class WaitResult { Ready, TimedOut, Failed };

class SocketLayer {
 public:
  virtual ~SocketLayer() = default;

  // The network layer of the calling thread (WSAStartup 2.2 and WSACleanup
  // on Windows; nothing to do elsewhere).
  [[nodiscard]] virtual bool StartUp() = 0;
  virtual void CleanUp() = 0;

  // The IPv4 addresses of `hostName` in the resolver's order, each as the
  // four bytes of the address in network order packed high byte first
  // (127.0.0.1 is 0x7F000001). Empty when the name does not resolve, is not
  // IPv4 or has no address.
  [[nodiscard]] virtual std::vector<uint32_t> ResolveIpv4(const std::string& hostName) = 0;

  // A new TCP stream socket connected in blocking mode to `address`:`port`
  // (the system's own connect time-out applies). kInvalidSocket when the
  // socket cannot be created or the connect fails; the socket is then closed.
  [[nodiscard]] virtual SocketHandle ConnectBlocking(uint32_t address, uint16_t port) = 0;

  // Switches the socket to non-blocking mode for the rest of its life.
  [[nodiscard]] virtual bool SetNonBlocking(SocketHandle socket) = 0;

  // One send or recv call: the bytes moved, 0 from Receive when the peer
  // closed the connection, -1 on failure (see LastCallWouldBlock).
  [[nodiscard]] virtual int Send(SocketHandle socket, const uint8_t* bytes, int count) = 0;
  [[nodiscard]] virtual int Receive(SocketHandle socket, uint8_t* buffer, int count) = 0;

  // Whether the last failed Send or Receive of this thread failed only
  // because nothing could be moved yet (WSAEWOULDBLOCK, EAGAIN/EWOULDBLOCK).
  [[nodiscard]] virtual bool LastCallWouldBlock() = 0;

  // Waits at most `timeoutMs` until a send can move bytes again.
  [[nodiscard]] virtual WaitResult WaitWritable(SocketHandle socket, uint32_t timeoutMs) = 0;

  virtual void Close(SocketHandle socket) = 0;
};

// "a.b.c.d" of an address as ResolveIpv4 gives it.
[[nodiscard]] std::string DottedAddress(uint32_t address);

}  // namespace vx::management
