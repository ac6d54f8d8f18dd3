#include "server/network/agent_server.h"

#include <vector>

namespace vx::server {

// One agent's connection: its socket and its session. Every handler holds
// the connection alive until it has run.
class AgentServer::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(AgentServer& server, asio::ip::tcp::socket socket, std::string address)
      : server_(server),
        socket_(std::move(socket)),
        session_(server.store_, server.clock_, server.log_, server, server.encodings_, server.options_.session,
                 std::move(address)) {}

  void Start() { Pump(); }

  void Tick() {
    if (closed_) return;
    session_.Tick();
    // A refusing helloReply gets two ticks to leave; then the socket closes
    // whatever the agent took.
    if (session_.Ended() && ++ticksSinceEnded_ > 2) return Close();
    Pump();
  }

  void StoreChanged(const SessionView& view) {
    if (closed_) return;
    session_.StoreChanged(view);
    Pump();
  }

  void Stop(const std::string& reason) {
    if (closed_) return;
    session_.Stop(reason);
    Close();
  }

 private:
  // Writes what the session queued, reads what it still needs, and closes
  // once it has ended (after its last bytes when it asks for that).
  void Pump() {
    if (closed_) return;
    if (session_.Ended() && (!session_.FlushBeforeClose() || (session_.Output().empty() && !writing_))) return Close();
    if (!writing_ && !session_.Output().empty()) Write();
    if (!session_.Ended()) Read();
  }

  void Read() {
    if (reading_) return;
    const std::span<uint8_t> space = session_.ReadSpace();
    if (space.empty()) return;
    reading_ = true;
    // The space stays valid while the read is under way: the session changes
    // its input buffers only in Received.
    socket_.async_read_some(asio::buffer(space.data(), space.size()),
                            [self = shared_from_this()](const asio::error_code& error, std::size_t count) {
                              self->reading_ = false;
                              if (self->closed_) return;
                              if (error)
                                self->session_.ConnectionLost(error == asio::error::eof
                                                                  ? "closed by the agent"
                                                                  : "connection error: " + error.message());
                              else
                                self->session_.Received(count);
                              self->Pump();
                            });
  }

  void Write() {
    // A copy: the session may queue more (and so move its buffer) while the
    // write is under way.
    const std::span<const uint8_t> output = session_.Output();
    writeBuffer_.assign(output.begin(), output.begin() + std::min<std::size_t>(output.size(), kWriteSlice));
    writing_ = true;
    socket_.async_write_some(asio::buffer(writeBuffer_),
                             [self = shared_from_this()](const asio::error_code& error, std::size_t count) {
                               self->writing_ = false;
                               // Idle connections keep little: a large slice's room is given back.
                               if (self->writeBuffer_.capacity() > kKeptWriteCapacity)
                                 self->writeBuffer_ = std::vector<uint8_t>();
                               if (self->closed_) return;
                               if (error)
                                 self->session_.ConnectionLost("send failed: " + error.message());
                               else
                                 self->session_.Sent(count);
                               self->Pump();
                             });
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    if (!session_.Ended()) session_.Stop("closed by the server");
    asio::error_code ignored;
    socket_.close(ignored);  // the connection is over either way; pending handlers see operation_aborted
    server_.Forget(this);
  }

  static constexpr std::size_t kWriteSlice = 256 * 1024;
  static constexpr std::size_t kKeptWriteCapacity = 16 * 1024;

  AgentServer& server_;
  asio::ip::tcp::socket socket_;
  AgentSession session_;
  std::vector<uint8_t> writeBuffer_;
  bool reading_ = false;
  bool writing_ = false;
  bool closed_ = false;
  int ticksSinceEnded_ = 0;
};

AgentServer::AgentServer(asio::io_context& io, Store& store, ServerClock& clock, SessionLog& log,
                         AgentServerOptions options)
    : io_(io),
      store_(store),
      clock_(clock),
      log_(log),
      options_(std::move(options)),
      acceptor_(io),
      tickTimer_(io),
      acceptRetry_(io) {}

AgentServer::~AgentServer() { Stop("the server is stopping"); }

std::string AgentServer::Start() {
  asio::error_code error;
  const auto address = asio::ip::make_address_v4(options_.listen.address, error);
  if (error) return "cannot listen on " + options_.listen.address + ": " + error.message();
  const asio::ip::tcp::endpoint endpoint(address, options_.listen.port);
  const std::string where = options_.listen.address + ":" + std::to_string(options_.listen.port);
  // Each step reports into `error`; the first that fails ends the start.
  acceptor_.open(endpoint.protocol(), error);
  if (!error) acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor_.bind(endpoint, error);
  if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
  if (error) return "cannot listen on " + where + ": " + error.message();
  port_ = acceptor_.local_endpoint(error).port();
  if (error) return "cannot listen on " + where + ": " + error.message();
  Accept();
  Tick();
  return {};
}

void AgentServer::Accept() {
  acceptor_.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
    if (stopping_ || error == asio::error::operation_aborted) return;
    if (error) {
      // Out of descriptors, most likely: try again in a second rather than
      // spin.
      log_.Write(LogLevel::Error, "cannot accept a connection: " + error.message());
      acceptRetry_.expires_after(std::chrono::seconds(1));
      acceptRetry_.async_wait([this](const asio::error_code& waited) {
        if (!waited && !stopping_) Accept();
      });
      return;
    }
    asio::error_code ignored;
    const auto remote = socket.remote_endpoint(ignored);
    const std::string address = remote.address().to_string() + ":" + std::to_string(remote.port());
    if (connections_.size() >= options_.maxAgents) {
      log_.Write(LogLevel::Warning, address + ": connection refused: " + std::to_string(connections_.size()) +
                                        " agents are connected, the limit (--max-agents)");
      socket.close(ignored);  // refused; nothing was read or sent
      return Accept();
    }
    // Every message is its own small send; it must not wait for the next.
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);  // without it: slower, not broken
    log_.Write(LogLevel::Info, address + ": connection accepted");
    auto connection = std::make_shared<Connection>(*this, std::move(socket), address);
    connections_.emplace(connection.get(), connection);
    connection->Start();
    Accept();
  });
}

void AgentServer::Tick() {
  if (stopping_) return;
  std::vector<std::shared_ptr<Connection>> all;
  all.reserve(connections_.size());
  for (const auto& [key, connection] : connections_) all.push_back(connection);
  for (const auto& connection : all) connection->Tick();
  tickTimer_.expires_after(std::chrono::milliseconds(options_.tickMs));
  tickTimer_.async_wait([this](const asio::error_code& error) {
    if (!error) Tick();
  });
}

void AgentServer::StoreChanged(const SessionView& view) {
  std::vector<std::shared_ptr<Connection>> all;
  for (const auto& [key, connection] : connections_) all.push_back(connection);
  for (const auto& connection : all) connection->StoreChanged(view);
}

void AgentServer::EndSessions(const std::string& reason) {
  std::vector<std::shared_ptr<Connection>> all;
  for (const auto& [key, connection] : connections_) all.push_back(connection);
  for (const auto& connection : all) connection->Stop(reason);
}

void AgentServer::Stop(const std::string& reason) {
  if (stopping_) return;
  stopping_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);  // no new agents either way
  tickTimer_.cancel();
  acceptRetry_.cancel();
  std::vector<std::shared_ptr<Connection>> all;
  for (const auto& [key, connection] : connections_) all.push_back(connection);
  for (const auto& connection : all) connection->Stop(reason);
  connections_.clear();
}

void AgentServer::Forget(Connection* connection) { connections_.erase(connection); }

bool AgentServer::Claim(const AgentId& agent, AgentSession& session, std::string& holderAddress) {
  const auto [at, inserted] = agents_.emplace(agent, &session);
  if (!inserted) holderAddress = at->second->PeerAddress();
  return inserted;
}

void AgentServer::Release(const AgentId& agent, const AgentSession& session) {
  const auto at = agents_.find(agent);
  if (at != agents_.end() && at->second == &session) agents_.erase(at);
}

}  // namespace vx::server
