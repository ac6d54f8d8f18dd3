#include "tests/management/support/loopback_pair.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace vx::management::test {

LoopbackPair::LoopbackPair() {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    std::abort();
  client_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client_ < 0 || connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
  server_ = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  if (server_ < 0) std::abort();
  fcntl(client_, F_SETFL, fcntl(client_, F_GETFL) | O_NONBLOCK);
}

LoopbackPair::~LoopbackPair() {
  if (client_ >= 0) close(client_);
  CloseServer();
}

void LoopbackPair::ServerSend(std::span<const uint8_t> bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t result = send(server_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (result <= 0) std::abort();
    sent += static_cast<std::size_t>(result);
  }
}

std::vector<uint8_t> LoopbackPair::ServerReceive(int waitMs) {
  std::vector<uint8_t> bytes;
  pollfd entry{server_, POLLIN, 0};
  if (poll(&entry, 1, waitMs) <= 0) return bytes;
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t got = recv(server_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got <= 0) break;
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  return bytes;
}

std::vector<uint8_t> LoopbackPair::ServerReceiveExactly(std::size_t count) {
  std::vector<uint8_t> bytes(count);
  std::size_t received = 0;
  while (received < count) {
    const ssize_t got = recv(server_, bytes.data() + received, count - received, 0);
    if (got <= 0) break;
    received += static_cast<std::size_t>(got);
  }
  bytes.resize(received);
  return bytes;
}

void LoopbackPair::CloseServer() {
  if (server_ >= 0) close(server_);
  server_ = -1;
}

void LoopbackPair::ShrinkServerReceiveBuffer() {
  const int size = 4096;
  setsockopt(server_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

}  // namespace vx::management::test
