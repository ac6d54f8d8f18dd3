// The agents' side of the network: one Asio acceptor and every agent
// connection on one io_context (no thread per agent). Each connection reads
// only into what its session says the message under way still needs, writes
// what the session has queued, and closes when the session ends; a tick
// drives the sessions' time-outs. At most `maxAgents` connections are open
// at once: one more is closed as soon as it is accepted.
#pragma once

#include <asio.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "server/agent_session.h"
#include "server/assignment_encodings.h"
#include "server/network/listen_address.h"
#include "server/session_environment.h"
#include "server/store/store.h"

namespace vx::server {

struct AgentServerOptions {
  ListenAddress listen{"0.0.0.0", 13911};
  std::size_t maxAgents = 10000;
  SessionSettings session;
  int64_t tickMs = 1000;  // how often the sessions' time-outs are looked at
};

class AgentServer : private AgentDirectory {
 public:
  AgentServer(asio::io_context& io, Store& store, ServerClock& clock, SessionLog& log, AgentServerOptions options);
  AgentServer(const AgentServer&) = delete;
  AgentServer& operator=(const AgentServer&) = delete;
  ~AgentServer() override;

  // Binds and listens, and starts accepting and ticking. An error text
  // (empty on success).
  [[nodiscard]] std::string Start();
  // The port listened on (the one chosen when 0 was asked for).
  [[nodiscard]] uint16_t Port() const { return port_; }

  // The instance its sessions claim agents and updates for; sessions
  // started from now on take it.
  void SetInstance(int64_t instanceId) { options_.session.instanceId = instanceId; }

  // An administration command changed the store: every session takes
  // `view`, read once for all of them.
  void StoreChanged(const SessionView& view);
  // Ends every session, but goes on accepting.
  void EndSessions(const std::string& reason);
  // Stops accepting and ends every session; on the io_context's thread.
  void Stop(const std::string& reason);

  [[nodiscard]] std::size_t ConnectionCount() const { return connections_.size(); }

 private:
  class Connection;

  bool Claim(const AgentId& agent, AgentSession& session, std::string& holderAddress) override;
  void Release(const AgentId& agent, const AgentSession& session) override;

  void Accept();
  void Tick();
  void Forget(Connection* connection);

  asio::io_context& io_;
  Store& store_;
  ServerClock& clock_;
  SessionLog& log_;
  AgentServerOptions options_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer tickTimer_;
  asio::steady_timer acceptRetry_;
  uint16_t port_ = 0;
  bool stopping_ = false;
  std::map<Connection*, std::shared_ptr<Connection>> connections_;
  std::map<AgentId, const AgentSession*> agents_;
  AssignmentEncodings encodings_;
};

}  // namespace vx::server
