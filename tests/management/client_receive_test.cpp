// ReceiveExact and ReceiveExactWithin on a real loopback connection, with
// the fake clock's hook playing the server between empty polls.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "management/connection.h"
#include "management/posix/bsd_socket_layer.h"
#include "tests/management/support/fake_session_clock.h"
#include "tests/management/support/loopback_pair.h"

namespace vx::management {
namespace {

using test::FakeSessionClock;
using test::LoopbackPair;

class ReceiveTest : public testing::Test {
 protected:
  // Runs `action` on the server side at the given empty poll (sleep or yield).
  void AtWait(uint64_t wait, std::function<void()> action) { actions_.push_back({wait, std::move(action)}); }
  void SetUp() override {
    clock_.SetSettle([this] {
      ++waits_;
      for (auto& [at, action] : actions_)
        if (at == waits_) action();
    });
  }
  Connection Link() { return Connection{sockets_, clock_, pair_.ClientSocket()}; }

  BsdSocketLayer sockets_;
  FakeSessionClock clock_;
  LoopbackPair pair_;
  uint64_t waits_ = 0;
  std::vector<std::pair<uint64_t, std::function<void()>>> actions_;
};

TEST_F(ReceiveTest, ReceiveExactCountsEmptyPollsAgainstItsBudget) {
  struct Case {
    const char* name;
    uint32_t budget;
    uint64_t sleeps;  // 1-ms sleeps before the call fails
  };
  for (const Case& c : {Case{"budget 1 fails on the first would-block", 1, 0},
                        Case{"budget 2000 fails on the 2000th, after 1999 sleeps", 2000, 1999}}) {
    SCOPED_TRACE(c.name);
    FakeSessionClock clock;
    uint8_t buffer[8];
    EXPECT_EQ(ReceiveExact(Connection{sockets_, clock, pair_.ClientSocket()}, buffer, 8, c.budget), -1);
    EXPECT_EQ(clock.Polls(), c.sleeps);
  }
}

TEST_F(ReceiveTest, ProgressDoesNotRestoreTheBudget) {
  // Three bytes after 1000 empty polls; the rest never comes: the call still
  // fails on the 2000th empty poll in all.
  AtWait(1000, [&] { pair_.ServerSend(std::vector<uint8_t>{1, 2, 3}); });
  uint8_t buffer[8];
  EXPECT_EQ(ReceiveExact(Link(), buffer, 8, 2000), -1);
  EXPECT_EQ(clock_.Polls(), 1999u);
}

TEST_F(ReceiveTest, ReceiveExactWithoutBudgetWaitsAsLongAsItTakes) {
  AtWait(5000, [&] { pair_.ServerSend(std::vector<uint8_t>{1, 2, 3, 4}); });
  AtWait(9000, [&] { pair_.ServerSend(std::vector<uint8_t>{5, 6, 7, 8}); });
  uint8_t buffer[8] = {};
  ASSERT_EQ(ReceiveExact(Link(), buffer, 8, 0), 8);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(clock_.Polls(), 9000u);
}

TEST_F(ReceiveTest, APeerThatClosesMidWayGivesAShortCountNotAFailure) {
  pair_.ServerSend(std::vector<uint8_t>{9, 9, 9});
  pair_.CloseServer();
  uint8_t buffer[7];
  EXPECT_EQ(ReceiveExact(Link(), buffer, 7, 2000), 3);
  EXPECT_EQ(ReceiveExactWithin(Link(), buffer, 7, 0), 0);
}

TEST_F(ReceiveTest, ACountOfZeroReadsNothing) {
  pair_.ServerSend(std::vector<uint8_t>{1});
  uint8_t buffer[1] = {0};
  EXPECT_EQ(ReceiveExact(Link(), buffer, 0, 1), 0);
  EXPECT_EQ(ReceiveExactWithin(Link(), buffer, 0, 1), 0);
  ASSERT_EQ(ReceiveExact(Link(), buffer, 1, 0), 1);  // the byte is still there
  EXPECT_EQ(buffer[0], 1);
}

TEST_F(ReceiveTest, ReceiveExactWithinEndsAfterTheLimitWithoutProgress) {
  uint8_t buffer[4];
  const int64_t start = clock_.NowMs();
  EXPECT_EQ(ReceiveExactWithin(Link(), buffer, 4, 30), -1);
  const int64_t waited = clock_.NowMs() - start;
  // More than 30 whole seconds on the wall clock, and not much more.
  EXPECT_GT(waited, 30000);
  EXPECT_LE(waited, 32000);
  EXPECT_EQ(clock_.Polls(), 0u);  // it yields, it does not sleep
  EXPECT_GT(clock_.Yields(), 0u);
}

TEST_F(ReceiveTest, EachByteRenewsTheTimeOfLastProgress) {
  // One byte every 20 s: four bytes take 80 s, more than the 30-s limit in
  // all but never 30 s without progress.
  const uint64_t every = 20000 / FakeSessionClock::kYieldStepMs;
  for (uint64_t i = 1; i <= 4; ++i) AtWait(i * every, [&] { pair_.ServerSend(std::vector<uint8_t>{7}); });
  uint8_t buffer[4];
  EXPECT_EQ(ReceiveExactWithin(Link(), buffer, 4, 30), 4);
  EXPECT_GE(clock_.NowMs() - 1700000000000, 80000);
}

TEST_F(ReceiveTest, ReceiveExactWithinWithoutLimitNeverGivesUp) {
  AtWait(100000 / FakeSessionClock::kYieldStepMs, [&] { pair_.ServerSend(std::vector<uint8_t>{1, 2}); });
  uint8_t buffer[2];
  EXPECT_EQ(ReceiveExactWithin(Link(), buffer, 2, 0), 2);
}

TEST_F(ReceiveTest, AClockSetBackStillEndsTheWaitAfterTheLimit) {
  // Ten seconds into the wait the clock goes back an hour: the limit counts
  // from there, so the wait ends 30 s later, not an hour and 30 s later.
  AtWait(10000 / FakeSessionClock::kYieldStepMs, [&] { clock_.AdvanceMs(-3600 * 1000); });
  uint8_t buffer[1];
  EXPECT_EQ(ReceiveExactWithin(Link(), buffer, 1, 30), -1);
  EXPECT_LE(waits_ * FakeSessionClock::kYieldStepMs, 43000u);
}

}  // namespace
}  // namespace vx::management
