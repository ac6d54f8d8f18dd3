// A session clock that moves only when the client waits: a sleep moves it by
// the sleep's length, a yield by a fixed step. Before it moves, it calls the
// settle hook, so a scripted peer on another thread handles what the client
// sent at this moment before time goes on (the peer's records then carry the
// exact virtual time of each send).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "management/session_clock.h"

namespace vx::management::test {

class FakeSessionClock final : public SessionClock {
 public:
  explicit FakeSessionClock(int64_t startSeconds = 1700000000) : nowMs_(startSeconds * 1000) {}

  int64_t WallSeconds() override { return nowMs_.load() / 1000; }
  void SleepMilliseconds(uint32_t milliseconds) override {
    Settle();
    nowMs_ += milliseconds;
    sleeps_.fetch_add(1);
    if (milliseconds == 1) polls_.fetch_add(1);
  }
  void YieldTimeSlice() override {
    Settle();
    nowMs_ += kYieldStepMs;
    yields_.fetch_add(1);
  }

  // The client's time in milliseconds; may be set from the peer's thread
  // (a wall clock set back, or time that passes while the client is blocked).
  int64_t NowMs() const { return nowMs_.load(); }
  void SetNowMs(int64_t ms) { nowMs_.store(ms); }
  void AdvanceMs(int64_t ms) { nowMs_ += ms; }

  // Called before every sleep and yield of the client, on its thread.
  void SetSettle(std::function<void()> settle) { settle_ = std::move(settle); }

  uint64_t Sleeps() const { return sleeps_.load(); }
  uint64_t Polls() const { return polls_.load(); }  // 1-ms sleeps: empty polls of ReceiveExact
  uint64_t Yields() const { return yields_.load(); }

  static constexpr int64_t kYieldStepMs = 5;

 private:
  void Settle() {
    if (settle_) settle_();
  }
  std::atomic<int64_t> nowMs_;
  std::atomic<uint64_t> sleeps_{0}, polls_{0}, yields_{0};
  std::function<void()> settle_;
};

}  // namespace vx::management::test
