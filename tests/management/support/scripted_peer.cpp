#include "tests/management/support/scripted_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "management/protocol/message_catalogue.h"

namespace vx::management::test {
namespace {

constexpr auto kWatchdog = std::chrono::seconds(60);
constexpr auto kSettleLimit = std::chrono::seconds(10);

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The body that follows a client message's header.
std::size_t ClientBodySize(const MessageHeader& header) {
  const MessageKind* kind = FindMessage(header.type);
  if (!kind) return header.length;
  return kind->lengthField == LengthField::BodySize ? header.length : kind->fixedBodySize;
}

}  // namespace

struct ScriptedPeer::Connection {
  int fd = -1;
  int index = 0;
  bool reading = true;
  bool closeWhenSent = false;
  std::vector<uint8_t> inbox;
  std::vector<uint8_t> outbox;
  std::size_t outboxSent = 0;
};

int64_t PeerLink::NowMs() const { return peer_.clock_.NowMs(); }
FakeSessionClock& PeerLink::Clock() const { return peer_.clock_; }

void PeerLink::Send(std::span<const uint8_t> bytes) {
  for (auto& connection : peer_.connections_)
    if (connection->index == index_) connection->outbox.insert(connection->outbox.end(), bytes.begin(), bytes.end());
}

void PeerLink::SendHeader(uint16_t type, uint32_t length) {
  const auto header = EncodeHeader(MessageHeader{type, length});
  Send(header);
}

void PeerLink::SendMessage(uint16_t type, uint32_t length, std::span<const uint8_t> body) {
  SendHeader(type, length);
  Send(body);
}

void PeerLink::Close() {
  for (auto& connection : peer_.connections_)
    if (connection->index == index_) connection->closeWhenSent = true;
}

void PeerLink::SetReading(bool reading) {
  for (auto& connection : peer_.connections_)
    if (connection->index == index_) connection->reading = reading;
}

void PeerLink::StopClient() { peer_.serviceRunning_.store(false); }

void PeerLink::CloseListener() {
  if (peer_.listener_ >= 0) close(peer_.listener_);
  peer_.listener_ = -1;
}

ScriptedPeer::ScriptedPeer(FakeSessionClock& clock, std::atomic<bool>& serviceRunning)
    : clock_(clock), serviceRunning_(serviceRunning) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 16) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    std::abort();
  port_ = ntohs(address.sin_port);
  SetNonBlocking(listener_);
}

ScriptedPeer::~ScriptedPeer() {
  Stop();
  for (auto& connection : connections_)
    if (connection->fd >= 0) close(connection->fd);
  if (listener_ >= 0) close(listener_);
}

void ScriptedPeer::Start() {
  clock_.SetSettle([this] { Settle(); });
  thread_ = std::thread([this] { Run(); });
}

void ScriptedPeer::Stop() {
  {
    std::lock_guard<std::mutex> lock(lockstepMutex_);
    stopping_ = true;
  }
  lockstepChanged_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::vector<PeerMessage> ScriptedPeer::Messages() const {
  std::lock_guard<std::mutex> lock(recordsMutex_);
  return messages_;
}

std::vector<PeerMessage> ScriptedPeer::MessagesOfType(uint16_t type) const {
  std::vector<PeerMessage> found;
  for (auto& message : Messages())
    if (message.header.type == type) found.push_back(message);
  return found;
}

std::vector<PeerConnectionRecord> ScriptedPeer::Connections() const {
  std::lock_guard<std::mutex> lock(recordsMutex_);
  return connectionRecords_;
}

void ScriptedPeer::AcceptHello(PeerLink& link, const PeerMessage& message) {
  if (message.header.type != kHello) return;
  const uint8_t accepted = 1;
  link.SendMessage(kHelloReply, 0, std::span<const uint8_t>(&accepted, 1));
}

void ScriptedPeer::Settle() {
  std::unique_lock<std::mutex> lock(lockstepMutex_);
  if (stopping_) return;
  const uint64_t ticket = ++settleRequested_;
  lockstepChanged_.notify_all();
  lockstepChanged_.wait_for(lock, kSettleLimit, [&] { return settleCompleted_ >= ticket || stopping_; });
}

void ScriptedPeer::Run() {
  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    uint64_t ticket = 0;
    {
      std::unique_lock<std::mutex> lock(lockstepMutex_);
      lockstepChanged_.wait_for(lock, std::chrono::milliseconds(1),
                                [&] { return settleRequested_ > settleCompleted_ || stopping_; });
      if (stopping_) return;
      ticket = settleRequested_;
    }
    Step();
    if (std::chrono::steady_clock::now() - started > kWatchdog && !watchdogFired_.exchange(true))
      serviceRunning_.store(false);
    {
      std::lock_guard<std::mutex> lock(lockstepMutex_);
      settleCompleted_ = ticket;
    }
    lockstepChanged_.notify_all();
  }
}

void ScriptedPeer::Step() {
  AcceptPending();
  // Reactions may add connections' output but not connections, so indices
  // stay valid through the loop.
  for (std::size_t i = 0; i < connections_.size(); ++i)
    if (connections_[i]->fd >= 0 && connections_[i]->reading) ReadConnection(*connections_[i]);
  for (std::size_t i = 0; i < connections_.size(); ++i) {
    if (connections_[i]->fd < 0) continue;
    if (onStep) {
      PeerLink link(*this, connections_[i]->index);
      onStep(link);
    }
    FlushConnection(*connections_[i]);
  }
  if (stopClientAtMs >= 0 && clock_.NowMs() >= stopClientAtMs) serviceRunning_.store(false);
}

void ScriptedPeer::AcceptPending() {
  while (listener_ >= 0) {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    const int noDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->index = static_cast<int>(connections_.size());
    {
      std::lock_guard<std::mutex> lock(recordsMutex_);
      connectionRecords_.push_back(PeerConnectionRecord{clock_.NowMs(), -1});
    }
    connections_.push_back(std::move(connection));
    Connection& added = *connections_.back();
    if (onAccept) {
      PeerLink link(*this, added.index);
      onAccept(link);
    }
    FlushConnection(added);
  }
}

void ScriptedPeer::ReadConnection(Connection& connection) {
  uint8_t buffer[65536];
  bool closedByClient = false;
  for (;;) {
    const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      connection.inbox.insert(connection.inbox.end(), buffer, buffer + got);
      continue;
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closedByClient = true;
    break;
  }
  std::size_t offset = 0;
  while (connection.inbox.size() - offset >= kHeaderSize) {
    const uint8_t* bytes = connection.inbox.data() + offset;
    PeerMessage message;
    message.connection = connection.index;
    message.header.type = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    message.header.length =
        uint32_t{bytes[2]} | (uint32_t{bytes[3]} << 8) | (uint32_t{bytes[4]} << 16) | (uint32_t{bytes[5]} << 24);
    message.checksumOk = HeaderChecksum(bytes) == bytes[6];
    const std::size_t bodySize = ClientBodySize(message.header);
    if (connection.inbox.size() - offset - kHeaderSize < bodySize) break;
    message.body.assign(bytes + kHeaderSize, bytes + kHeaderSize + bodySize);
    message.atMs = clock_.NowMs();
    offset += kHeaderSize + bodySize;
    {
      std::lock_guard<std::mutex> lock(recordsMutex_);
      messages_.push_back(message);
    }
    if (onMessage) {
      PeerLink link(*this, connection.index);
      onMessage(link, message);
    }
  }
  connection.inbox.erase(connection.inbox.begin(), connection.inbox.begin() + static_cast<std::ptrdiff_t>(offset));
  if (closedByClient) CloseConnection(connection);
}

void ScriptedPeer::FlushConnection(Connection& connection) {
  while (connection.fd >= 0 && connection.outboxSent < connection.outbox.size()) {
    const ssize_t sent = send(connection.fd, connection.outbox.data() + connection.outboxSent,
                              connection.outbox.size() - connection.outboxSent, MSG_NOSIGNAL);
    if (sent <= 0) break;
    connection.outboxSent += static_cast<std::size_t>(sent);
  }
  if (connection.outboxSent == connection.outbox.size()) {
    connection.outbox.clear();
    connection.outboxSent = 0;
    if (connection.closeWhenSent) CloseConnection(connection);
  }
}

void ScriptedPeer::CloseConnection(Connection& connection) {
  if (connection.fd < 0) return;
  close(connection.fd);
  connection.fd = -1;
  std::lock_guard<std::mutex> lock(recordsMutex_);
  connectionRecords_[static_cast<std::size_t>(connection.index)].closedAtMs = clock_.NowMs();
}

}  // namespace vx::management::test
