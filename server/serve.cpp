#include "server/serve.h"

#include <unistd.h>

#include <algorithm>

#include "server/open_file_limit.h"
#include "server/store/open_store.h"

namespace vx::server {
namespace {

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

std::string InstanceName(const InstanceRecord& instance) {
  return "instance " + std::to_string(instance.instanceId) + " (" + instance.info.host + ", " + instance.info.listen +
         ", process " + std::to_string(instance.info.pid) + ")";
}

}  // namespace

Serve::Serve(ServeOptions options, ServerClock& clock, SessionLog& log)
    : options_(std::move(options)), clock_(clock), log_(log), pollTimer_(io_) {}

Serve::~Serve() {
  // Sessions end (and release their agents) before the store closes.
  DropSignal();
  agents_.reset();
  store_.reset();
}

std::string Serve::Open() {
  const bool sqlite = options_.store.engine == StoreEngine::Sqlite;
  if (sqlite) {
    if (std::string locked = lock_.Acquire(options_.store.file); !locked.empty()) return locked;
  }
  // Each connection is an open file: the agents held are bounded by the
  // limit, whatever --max-agents asks.
  uint64_t limit = options_.openFileLimit;
  if (limit == 0) {
    const OpenFileLimit raised = RaiseOpenFileLimit();
    if (!raised.problem.empty()) log_.Write(LogLevel::Warning, "cannot raise the open-file limit: " + raised.problem);
    limit = raised.soft;
  }
  const std::size_t capacity = AgentCapacity(limit);
  if (options_.agents.maxAgents > capacity) {
    log_.Write(LogLevel::Warning, "--max-agents " + std::to_string(options_.agents.maxAgents) +
                                      " is above what the open-file limit of " + std::to_string(limit) +
                                      " allows: at most " + std::to_string(capacity) + " agents");
    options_.agents.maxAgents = capacity;
  }
  // serve's commits need not wait for the disk: a page lost to a power cut is
  // asked for again from the stored cursor.
  auto opened = OpenStore(options_.store, StoreOpenOptions{.readOnly = false, .durableCommits = false});
  if (!opened) return opened.error();
  store_ = std::move(opened).value();
  // Bound first, so the instance is recorded with the port it listens on;
  // nothing is accepted before Run.
  agents_ = std::make_unique<AgentServer>(io_, *store_, clock_, log_, options_.agents);
  if (std::string error = agents_->Start(); !error.empty()) return error;
  if (std::string registered = Register(); !registered.empty()) return registered;
  agents_->SetInstance(instanceId_);
  const auto counter = store_->ChangeCounter();
  if (!counter) return counter.error();
  lastChange_ = *counter;
  log_.Write(LogLevel::Info, "serving agents on " + options_.agents.listen.address + ":" + std::to_string(Port()) +
                                 " as instance " + std::to_string(instanceId_) + ", store " + options_.store.Shown() +
                                 "; it holds at most " + std::to_string(options_.agents.maxAgents) +
                                 " agents (open-file limit " + std::to_string(limit) + ")");
  ListenForChanges();
  PollChanges();
  return {};
}

std::string Serve::Register() {
  const InstanceInfo info{HostName(), options_.agents.listen.address + ":" + std::to_string(Port()),
                          static_cast<int64_t>(::getpid())};
  // With SQLite the serve lock is held: no other instance can be running.
  const auto registered =
      store_->RegisterInstance(info, options_.store.engine == StoreEngine::Sqlite, clock_.WallSeconds());
  if (!registered) return registered.error();
  instanceId_ = *registered;
  return {};
}

void Serve::Run() {
  io_.run();
  if (store_ && instanceId_ != 0) {
    if (const auto ended = store_->EndInstance(instanceId_, clock_.WallSeconds()); !ended)
      log_.Write(LogLevel::Warning, "cannot record this instance's end: " + ended.error());
  }
  log_.Write(LogLevel::Info, "stopped");
}

void Serve::Stop() {
  asio::post(io_, [this] {
    stopping_ = true;
    pollTimer_.cancel();
    DropSignal();
    if (agents_) agents_->Stop("the server is stopping");
  });
}

void Serve::PollChanges() {
  if (stopping_) return;
  Beat();
  if (!signal_) ListenForChanges();  // lost, or never had: asked for again
  TakeChanges();
  pollTimer_.expires_after(std::chrono::milliseconds(options_.changePollMs));
  pollTimer_.async_wait([this](const asio::error_code& error) {
    if (!error) PollChanges();
  });
}

void Serve::TakeChanges() {
  const auto counter = store_->ChangeCounter();
  if (!counter) {
    log_.Write(LogLevel::Warning, "cannot read the change counter: " + counter.error());
    return;
  }
  if (*counter == lastChange_) return;
  // One read for every session: a change costs the store the same few
  // queries however many agents are connected.
  const auto view = store_->ReadSessionView();
  if (!view) {
    log_.Write(LogLevel::Warning, "cannot read what changed: " + view.error());
    return;  // the counter stays behind, so the next poll tries again
  }
  lastChange_ = *counter;
  agents_->StoreChanged(*view);
}

void Serve::Beat() {
  const auto beat = store_->Heartbeat(instanceId_, clock_.WallSeconds());
  if (!beat) {
    log_.Write(LogLevel::Warning, "cannot record this instance's heartbeat: " + beat.error());
    return;
  }
  for (const InstanceRecord& instance : beat->reaped)
    log_.Write(LogLevel::Warning, InstanceName(instance) + " has not beaten for " +
                                      std::to_string(clock_.WallSeconds() - instance.heartbeatAt) + " s: ended; its " +
                                      std::to_string(instance.agents) + " agents may connect to another instance");
  if (!beat->ended) return;
  // Another instance took this one for dead (its heartbeat lapsed, the loop
  // was held up): its claims are gone, so its sessions are no longer its
  // own. They end, the agents come back, and the instance starts anew.
  log_.Write(LogLevel::Error, "instance " + std::to_string(instanceId_) +
                                  " was ended by another instance (its heartbeat lapsed): its sessions end and it "
                                  "registers again");
  agents_->EndSessions("this instance's heartbeat lapsed");
  if (std::string registered = Register(); !registered.empty()) {
    log_.Write(LogLevel::Error, "cannot register again: " + registered);
    return;
  }
  agents_->SetInstance(instanceId_);
  log_.Write(LogLevel::Info, "registered again as instance " + std::to_string(instanceId_));
}

void Serve::ListenForChanges() {
  signal_ = store_->ListenForChanges();
  if (!signal_) return;
  signalWatch_ = std::make_unique<asio::posix::stream_descriptor>(io_, signal_->Descriptor());
  WatchSignal();
}

void Serve::WatchSignal() {
  signalWatch_->async_wait(asio::posix::stream_descriptor::wait_read, [this](const asio::error_code& error) {
    if (error || stopping_ || !signal_) return;
    if (!signal_->Consume()) {
      log_.Write(LogLevel::Warning, "the store's change signal was lost; the poll goes on and asks for it again");
      DropSignal();
      return;
    }
    TakeChanges();  // at once rather than at the next poll
    WatchSignal();
  });
}

void Serve::DropSignal() {
  if (signalWatch_) {
    asio::error_code ignored;
    signalWatch_->cancel(ignored);  // pending waits end with operation_aborted either way
    // The descriptor is the store connection's own: released, not closed.
    (void)signalWatch_->release();
    signalWatch_.reset();
  }
  signal_.reset();
}

}  // namespace vx::server
