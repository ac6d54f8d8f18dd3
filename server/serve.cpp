#include "server/serve.h"

#include "server/store/sqlite_store.h"

namespace vx::server {

Serve::Serve(ServeOptions options, ServerClock& clock, SessionLog& log)
    : options_(std::move(options)), clock_(clock), log_(log), pollTimer_(io_) {}

Serve::~Serve() {
  // Sessions end (and record their agents disconnected) before the store
  // closes.
  agents_.reset();
  store_.reset();
}

std::string Serve::Open() {
  // serve's commits need not wait for the disk: a page lost to a power cut is
  // asked for again from the stored cursor.
  auto opened = OpenSqliteStore(options_.database, StoreOpenOptions{.readOnly = false, .durableCommits = false});
  if (!opened) return opened.error();
  store_ = std::move(opened).value();
  if (const auto cleared = store_->MarkAllDisconnected(clock_.WallSeconds()); !cleared) return cleared.error();
  const auto counter = store_->ChangeCounter();
  if (!counter) return counter.error();
  lastChange_ = *counter;
  agents_ = std::make_unique<AgentServer>(io_, *store_, clock_, log_, options_.agents);
  if (std::string error = agents_->Start(); !error.empty()) return error;
  log_.Write(LogLevel::Info, "serving agents on " + options_.agents.listen.address + ":" + std::to_string(Port()) +
                                 ", store " + options_.database.string());
  PollChanges();
  return {};
}

void Serve::Run() {
  io_.run();
  log_.Write(LogLevel::Info, "stopped");
}

void Serve::Stop() {
  asio::post(io_, [this] {
    pollTimer_.cancel();
    if (agents_) agents_->Stop("the server is stopping");
  });
}

void Serve::PollChanges() {
  const auto counter = store_->ChangeCounter();
  if (!counter) {
    log_.Write(LogLevel::Warning, "cannot read the change counter: " + counter.error());
  } else if (*counter != lastChange_) {
    lastChange_ = *counter;
    agents_->StoreChanged();
  }
  pollTimer_.expires_after(std::chrono::milliseconds(options_.changePollMs));
  pollTimer_.async_wait([this](const asio::error_code& error) {
    if (!error) PollChanges();
  });
}

}  // namespace vx::server
