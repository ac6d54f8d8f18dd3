#include "management/posix/bsd_socket_layer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vx::management {
namespace {

// errno of this thread's last failed Send or Receive.
thread_local int lastError = 0;

}  // namespace

std::vector<uint32_t> BsdSocketLayer::ResolveIpv4(const std::string& hostName) {
  std::vector<uint32_t> addresses;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (getaddrinfo(hostName.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (const addrinfo* entry = found; entry; entry = entry->ai_next)
    if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in))
      addresses.push_back(ntohl(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr));
  freeaddrinfo(found);
  return addresses;
}

SocketHandle BsdSocketLayer::ConnectBlocking(uint32_t address, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return kInvalidSocket;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = htonl(address);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    close(fd);
    return kInvalidSocket;
  }
  // Every header and body is its own send: without this, a body would wait
  // for the acknowledgement of its header (Nagle against delayed ACKs).
  const int noDelay = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);  // only a matter of latency
  return fd;
}

bool BsdSocketLayer::SetNonBlocking(SocketHandle socket) {
  const int fd = static_cast<int>(socket);
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int BsdSocketLayer::Send(SocketHandle socket, const uint8_t* bytes, int count) {
  // No SIGPIPE for a peer that went away: the failure is the answer.
  const ssize_t result = send(static_cast<int>(socket), bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
  if (result < 0) lastError = errno;
  return static_cast<int>(result);
}

int BsdSocketLayer::Receive(SocketHandle socket, uint8_t* buffer, int count) {
  const ssize_t result = recv(static_cast<int>(socket), buffer, static_cast<size_t>(count), 0);
  if (result < 0) lastError = errno;
  return static_cast<int>(result);
}

bool BsdSocketLayer::LastCallWouldBlock() { return lastError == EAGAIN || lastError == EWOULDBLOCK; }

WaitResult BsdSocketLayer::WaitWritable(SocketHandle socket, uint32_t timeoutMs) {
  pollfd entry{static_cast<int>(socket), POLLOUT, 0};
  const int result = poll(&entry, 1, static_cast<int>(timeoutMs));
  if (result < 0) return errno == EINTR ? WaitResult::TimedOut : WaitResult::Failed;
  if (result == 0) return WaitResult::TimedOut;
  return (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) ? WaitResult::Failed : WaitResult::Ready;
}

void BsdSocketLayer::Close(SocketHandle socket) { close(static_cast<int>(socket)); }

}  // namespace vx::management
