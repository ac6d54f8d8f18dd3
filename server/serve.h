// `vxmgmtd serve`: the store, the agents' network side and the change poll
// on one event loop. Run blocks until Stop (from any thread, or a signal in
// the program).
//
// Each serve is an instance of the server (store.h): it registers at Open,
// beats once a second with the change poll, and ends its instance at the
// end of Run. An SQLite store has one serve (the serve lock beside its
// file); a PostgreSQL store may have several, each told of the others'
// changes by the store's change signal as well as by the poll.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "server/network/agent_server.h"
#include "server/serve_lock.h"
#include "server/session_environment.h"
#include "server/store/store.h"
#include "server/store/store_location.h"

namespace vx::server {

struct ServeOptions {
  StoreLocation store;
  AgentServerOptions agents;
  // How often the store's change counter is read and the instance's
  // heartbeat recorded, so a change made by an administration command
  // reaches the connected agents within about this even where the store
  // gives no change signal.
  int64_t changePollMs = 1000;
  // The open-file limit that bounds the agents (0: raise and read this
  // process's own, as the program does).
  uint64_t openFileLimit = 0;
};

class Serve {
 public:
  Serve(ServeOptions options, ServerClock& clock, SessionLog& log);
  Serve(const Serve&) = delete;
  Serve& operator=(const Serve&) = delete;
  ~Serve();

  // Takes the serve lock (SQLite), opens the store, registers the instance
  // and starts listening. An error text, empty on success.
  [[nodiscard]] std::string Open();
  [[nodiscard]] uint16_t Port() const { return agents_ ? agents_->Port() : 0; }
  // Safe from any thread.
  [[nodiscard]] int64_t InstanceId() const { return instanceId_.load(); }
  // The most agents it holds at once: --max-agents within the open-file limit.
  [[nodiscard]] std::size_t MaxAgents() const { return options_.agents.maxAgents; }

  // Runs the event loop until Stop; ends every session and the instance on
  // the way out.
  void Run();
  // Safe from any thread and from a signal handler's asio::signal_set.
  void Stop();

 private:
  [[nodiscard]] std::string Register();
  void PollChanges();
  void TakeChanges();
  void Beat();
  void ListenForChanges();
  void WatchSignal();
  void DropSignal();

  ServeOptions options_;
  ServeLock lock_;
  ServerClock& clock_;
  SessionLog& log_;
  asio::io_context io_;
  asio::steady_timer pollTimer_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<AgentServer> agents_;
  std::unique_ptr<ChangeSignal> signal_;
  std::unique_ptr<asio::posix::stream_descriptor> signalWatch_;
  uint64_t lastChange_ = 0;
  std::atomic<int64_t> instanceId_{0};  // changes when the instance registers again
  bool stopping_ = false;
};

}  // namespace vx::server
