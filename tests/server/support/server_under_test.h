// The real serve (store, Asio network side, change poll) on a thread of its
// own, on 127.0.0.1 and a free port (kept across a restart), with an SQLite
// store in a temporary directory or a PostgreSQL database; fast ticks so
// time-outs and changes show quickly.
#pragma once

#include <filesystem>
#include <memory>
#include <thread>

#include "server/serve.h"
#include "server/store/open_store.h"
#include "tests/server/support/recording_log.h"
#include "tests/server/support/test_clocks.h"

namespace vx::server::test {

class ServerUnderTest {
 public:
  explicit ServerUnderTest(const std::filesystem::path& database, EnrollMode mode = EnrollMode::Open)
      : ServerUnderTest(StoreLocationOf(database.string()), mode) {}
  explicit ServerUnderTest(StoreLocation store, EnrollMode mode = EnrollMode::Open) : store_(std::move(store)) {
    options_.store = store_;
    options_.agents.listen = ListenAddress{"127.0.0.1", 0};
    options_.agents.tickMs = 50;
    options_.agents.session.enrollMode = mode;
    options_.changePollMs = 100;
  }
  ServerUnderTest(const ServerUnderTest&) = delete;
  ServerUnderTest& operator=(const ServerUnderTest&) = delete;
  ~ServerUnderTest() { Stop(); }

  ServeOptions& Options() { return options_; }

  // Opens and runs; false (with the error in `error`) when it cannot.
  bool Start(std::string* error = nullptr) {
    serve_ = std::make_unique<Serve>(options_, clock, log);
    const std::string opened = serve_->Open();
    if (!opened.empty()) {
      if (error) *error = opened;
      serve_.reset();
      return false;
    }
    options_.agents.listen.port = serve_->Port();  // a restart listens on the same port
    thread_ = std::thread([this] { serve_->Run(); });
    return true;
  }
  void Stop() {
    if (!serve_) return;
    serve_->Stop();
    thread_.join();
    serve_.reset();
  }
  uint16_t Port() const { return options_.agents.listen.port; }
  int64_t InstanceId() const { return serve_ ? serve_->InstanceId() : 0; }

  // A store connection of its own, as an administration command opens it.
  std::unique_ptr<Store> OpenStore() {
    auto opened = vx::server::OpenStore(store_);
    if (!opened) std::abort();
    return std::move(opened).value();
  }

  OffsetServerClock clock;
  RecordingLog log;

 private:
  StoreLocation store_;
  ServeOptions options_;
  std::unique_ptr<Serve> serve_;
  std::thread thread_;
};

}  // namespace vx::server::test
