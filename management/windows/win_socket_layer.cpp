#include "management/windows/win_socket_layer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace vx::management {
namespace {

SOCKET AsSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

}  // namespace

static_assert(sizeof(SocketHandle) >= sizeof(SOCKET));

bool WinSocketLayer::StartUp() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void WinSocketLayer::CleanUp() { WSACleanup(); }

std::vector<uint32_t> WinSocketLayer::ResolveIpv4(const std::string& hostName) {
  std::vector<uint32_t> addresses;
  // The result lives in the thread's own Winsock storage until the next call.
  const hostent* host = gethostbyname(hostName.c_str());
  if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list) return addresses;
  for (char** entry = host->h_addr_list; *entry; ++entry) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(*entry);
    addresses.push_back((uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3]);
  }
  return addresses;
}

SocketHandle WinSocketLayer::ConnectBlocking(uint32_t address, uint16_t port) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = htonl(address);
  if (connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof target) == SOCKET_ERROR) {
    closesocket(s);
    return kInvalidSocket;
  }
  // Every header and body is its own send: without this, a body would wait
  // for the acknowledgement of its header (Nagle against delayed ACKs).
  const BOOL noDelay = TRUE;
  (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);  // only a matter of latency
  return static_cast<SocketHandle>(s);
}

bool WinSocketLayer::SetNonBlocking(SocketHandle socket) {
  u_long nonBlocking = 1;
  return ioctlsocket(AsSocket(socket), FIONBIO, &nonBlocking) == 0;
}

int WinSocketLayer::Send(SocketHandle socket, const uint8_t* bytes, int count) {
  return send(AsSocket(socket), reinterpret_cast<const char*>(bytes), count, 0);
}

int WinSocketLayer::Receive(SocketHandle socket, uint8_t* buffer, int count) {
  return recv(AsSocket(socket), reinterpret_cast<char*>(buffer), count, 0);
}

bool WinSocketLayer::LastCallWouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

WaitResult WinSocketLayer::WaitWritable(SocketHandle socket, uint32_t timeoutMs) {
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(AsSocket(socket), &writable);
  FD_SET(AsSocket(socket), &failed);
  timeval timeout{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
  const int result = select(0, nullptr, &writable, &failed, &timeout);
  if (result == SOCKET_ERROR) return WaitResult::Failed;
  if (result == 0) return WaitResult::TimedOut;
  return FD_ISSET(AsSocket(socket), &failed) ? WaitResult::Failed : WaitResult::Ready;
}

void WinSocketLayer::Close(SocketHandle socket) { closesocket(AsSocket(socket)); }

}  // namespace vx::management
