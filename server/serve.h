// `vxmgmtd serve`: the store, the agents' network side and the change poll
// on one event loop. Run blocks until Stop (from any thread, or a signal in
// the program).
#pragma once

#include <asio.hpp>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "server/network/agent_server.h"
#include "server/session_environment.h"
#include "server/store/store.h"

namespace vx::server {

struct ServeOptions {
  std::filesystem::path database;
  AgentServerOptions agents;
  // How often the store's change counter is read, so a change made by an
  // administration command reaches the connected agents within about this.
  int64_t changePollMs = 1000;
};

class Serve {
 public:
  Serve(ServeOptions options, ServerClock& clock, SessionLog& log);
  Serve(const Serve&) = delete;
  Serve& operator=(const Serve&) = delete;
  ~Serve();

  // Opens the store (marking every agent not connected: a serve that ended
  // without ending its sessions left them marked) and starts listening. An
  // error text, empty on success.
  [[nodiscard]] std::string Open();
  [[nodiscard]] uint16_t Port() const { return agents_ ? agents_->Port() : 0; }

  // Runs the event loop until Stop; ends every session on the way out.
  void Run();
  // Safe from any thread and from a signal handler's asio::signal_set.
  void Stop();

 private:
  void PollChanges();

  ServeOptions options_;
  ServerClock& clock_;
  SessionLog& log_;
  asio::io_context io_;
  asio::steady_timer pollTimer_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<AgentServer> agents_;
  uint64_t lastChange_ = 0;
};

}  // namespace vx::server
