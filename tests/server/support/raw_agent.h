// A hostile or scripted agent for the server's tests: a real loopback socket
// that sends exactly the bytes a test writes and reads the server's messages
// by the catalogue. Every read waits at most a bounded time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "management/protocol/message_catalogue.h"
#include "management/protocol/message_header.h"
#include "server/store/agent_id.h"

namespace vx::server::test {

struct ServerMessage {
  management::MessageHeader header;
  std::vector<uint8_t> body;
};

class RawAgent {
 public:
  explicit RawAgent(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  RawAgent(const RawAgent&) = delete;
  RawAgent& operator=(const RawAgent&) = delete;
  ~RawAgent() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool Connected() const { return connected_; }

  void Send(const std::vector<uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t result = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (result <= 0) return;  // the server closed it; the test looks at that
      sent += static_cast<std::size_t>(result);
    }
  }
  void SendHeader(uint16_t type, uint32_t length = 0, std::vector<uint8_t> body = {}) {
    const auto header = management::EncodeHeader(management::MessageHeader{type, length});
    std::vector<uint8_t> bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), body.begin(), body.end());
    Send(bytes);
  }
  void SendHello(const AgentId& id) { SendHeader(management::kHello, 0, std::vector<uint8_t>(id.begin(), id.end())); }

  // The next message, or nullopt when none came within `timeoutMs` or the
  // connection closed.
  std::optional<ServerMessage> Read(int timeoutMs = 5000) {
    uint8_t header[management::kHeaderSize];
    if (!ReadExact(header, sizeof header, timeoutMs)) return std::nullopt;
    const auto decoded = management::DecodeHeader(header);
    if (!decoded) return std::nullopt;
    const management::MessageKind* kind = management::FindMessage(decoded->type);
    if (!kind) return std::nullopt;
    ServerMessage message{*decoded, {}};
    message.body.resize(kind->lengthField == management::LengthField::BodySize ? decoded->length : kind->fixedBodySize);
    if (!ReadExact(message.body.data(), message.body.size(), timeoutMs)) return std::nullopt;
    return message;
  }
  // Reads messages until one of `type` (others are passed over).
  std::optional<ServerMessage> ReadUntil(uint16_t type, int timeoutMs = 5000) {
    for (int i = 0; i < 100; ++i) {
      auto message = Read(timeoutMs);
      if (!message || message->header.type == type) return message;
    }
    return std::nullopt;
  }

  // Whether the server closed the connection within `timeoutMs` (whatever it
  // sent before is read and dropped).
  bool ClosedByServer(int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, 50) <= 0) continue;
      const ssize_t result = ::recv(fd_, buffer, sizeof buffer, 0);
      if (result <= 0) return true;
    }
    return false;
  }

 private:
  bool ReadExact(uint8_t* buffer, std::size_t count, int timeoutMs) {
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
      const ssize_t result = ::recv(fd_, buffer + got, count - got, 0);
      if (result <= 0) return false;
      got += static_cast<std::size_t>(result);
    }
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace vx::server::test
