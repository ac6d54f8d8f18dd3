// The 64-bit tick count made from a wrapping 32-bit one, as the x86
// programs use it on Windows XP: every wrap counted once, never going back,
// with any number of threads asking.
#include "platform/tick_count_extension.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vx {
namespace {

TEST(TickCountExtension, CountsEachWrapOnceAndNeverGoesBack) {
  const struct {
    const char* what;
    std::vector<uint32_t> counts;  // successive readings of the 32-bit count
    std::vector<uint64_t> expected;
  } cases[] = {
      {"no wrap", {0, 1000, 0xFFFFFFFF}, {0, 1000, 0xFFFFFFFF}},
      {"one wrap", {0xFFFFFF00, 5}, {0xFFFFFF00, 0x100000005}},
      {"wrap to zero exactly", {0xFFFFFFFF, 0}, {0xFFFFFFFF, 0x100000000}},
      {"two wraps", {0x90000000, 0x10, 0x90000000, 0x20}, {0x90000000, 0x100000010, 0x190000000, 0x200000020}},
      {"same count twice", {42, 42}, {42, 42}},
      // A reading slightly below the last one is a late reading, not a wrap
      // of 49.7 days: the last count stands.
      {"late reading", {5000, 4990, 5010}, {5000, 5000, 5010}},
      // Half the range below is a wrap: the longest gap between two
      // readings that still counts right.
      {"wrap after a long gap", {0x80000000, 0}, {0x80000000, 0x100000000}},
  };
  for (const auto& c : cases) {
    TickCountState state{0};
    std::vector<uint64_t> results;
    for (uint32_t count : c.counts) results.push_back(ExtendTickCount(state, [count] { return count; }));
    EXPECT_EQ(results, c.expected) << c.what;
  }
}

// Threads reading a shared 32-bit counter that wraps while they run: each
// thread's results rise, and the final one has counted the wrap once.
TEST(TickCountExtension, ThreadsCountTheWrapOnce) {
  std::atomic<uint32_t> counter{0xFFFFF000u};
  TickCountState state{0};
  constexpr int kThreads = 4;
  constexpr int kReadings = 20000;
  std::vector<std::thread> threads;
  std::atomic<bool> wentBack{false};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      uint64_t last = 0;
      for (int i = 0; i < kReadings; ++i) {
        const uint64_t now = ExtendTickCount(state, [&] { return counter.fetch_add(1) + 1; });
        if (now < last) wentBack = true;
        last = now;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(wentBack);
  const uint64_t final = ExtendTickCount(state, [&] { return counter.load(); });
  EXPECT_EQ(final, 0x100000000ull + counter.load());
}

}  // namespace
}  // namespace vx
