// Clocks for the server's tests: the client's session clock on real time
// (the real client then runs its 100 ms turns for real), and a server clock
// that follows real time plus an offset a test moves forward, so a 30-second
// stall is shown without waiting 30 seconds.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "management/session_clock.h"
#include "server/session_environment.h"

namespace vx::server::test {

class RealSessionClock final : public management::SessionClock {
 public:
  int64_t WallSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  void SleepMilliseconds(uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
  void YieldTimeSlice() override { std::this_thread::yield(); }
};

class OffsetServerClock final : public ServerClock {
 public:
  int64_t SteadyMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
               .count() +
           offsetMs_.load();
  }
  int64_t WallSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
               .count() +
           offsetMs_.load() / 1000;
  }
  void Advance(int64_t ms) { offsetMs_ += ms; }

 private:
  std::atomic<int64_t> offsetMs_{0};
};

// Polls `condition` every 10 ms for at most `timeoutMs`; whether it held.
template <typename Condition>
bool WaitUntil(Condition&& condition, int64_t timeoutMs = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

}  // namespace vx::server::test
