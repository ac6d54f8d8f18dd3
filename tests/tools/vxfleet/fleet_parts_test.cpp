// vxfleet's parts below the simulated agent: agent ids, the report table's
// timeline, the rows block it makes, the delay histogram, the turn schedule
// and the held policies.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "management/protocol/message_catalogue.h"
#include "management/protocol/rows_block.h"
#include "tools/vxfleet/agent_identity.h"
#include "tools/vxfleet/delay_histogram.h"
#include "tools/vxfleet/fleet_rows.h"
#include "tools/vxfleet/held_policies.h"
#include "tools/vxfleet/report_table.h"
#include "tools/vxfleet/turn_schedule.h"

namespace vx::fleet {
namespace {

using namespace std::chrono_literals;
using management::DecodeRowsBlock;
using management::kMaxRowsBlockSize;

TEST(AgentIdentityTest, PrefixAndIndexAreTheIdsTwoHalvesInBigEndianOrder) {
  const ClientId id = MakeClientId(0x0102030405060708, 0x1122);
  EXPECT_EQ(id, (ClientId{1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0x11, 0x22}));
  EXPECT_EQ(ClientIdHex(id), "01020304050607080000000000001122");
  EXPECT_EQ(ClientIdHex(MakeClientId(kDefaultIdPrefix, 0xFFFFFFFFFFFFFFFF)), "76666c6565740000ffffffffffffffff");
  EXPECT_EQ(ComputerName(42), "FLEET-00042");
  EXPECT_EQ(ComputerName(1234567), "FLEET-1234567");
}

TEST(ReportTableTest, RowsExistFromTheBacklogAtStartThenOneEverySpacingWhileTheDurationLasts) {
  // Backlog 3, a new row every 10 s for 35 s, the first 4 s after the start
  // at 100 s: new rows at 104, 114, 124, 134 s (144 is past the end).
  const ReportShape shape{3, 10s, 35s};
  const ReportTable table(shape, 100s, 4s);
  EXPECT_EQ(table.FinalCount(), 7);
  struct Case {
    FleetTime now;
    int32_t created;
    int32_t additions;
    FleetTime next;
  };
  const std::vector<Case> cases = {
      {99s, 0, 0, 100s},  {100s, 3, 1, 104s}, {103'999'999us, 3, 1, 104s}, {104s, 4, 2, 114s},
      {113s, 4, 2, 114s}, {114s, 5, 3, 124s}, {134s, 7, 5, kNever},        {1000s, 7, 5, kNever},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now.count());
    EXPECT_EQ(table.CreatedBy(c.now), c.created);
    EXPECT_EQ(table.AdditionsBy(c.now), c.additions);
    EXPECT_EQ(table.NextCreationAfter(c.now), c.next);
  }
  EXPECT_EQ(table.CreatedAt(1), 100s);
  EXPECT_EQ(table.CreatedAt(3), 100s);
  EXPECT_EQ(table.CreatedAt(4), 104s);
  EXPECT_EQ(table.CreatedAt(7), 134s);
  // Every row exists from the time CreatedAt gives, and not before.
  for (int32_t id = 1; id <= table.FinalCount(); ++id) {
    EXPECT_GE(table.CreatedBy(table.CreatedAt(id)), id);
    EXPECT_LT(table.CreatedBy(table.CreatedAt(id) - 1us), id);
  }
}

TEST(ReportTableTest, GrowthCountsEdgesOfTheDuration) {
  struct Case {
    ReportShape shape;
    FleetTime phase;
    int32_t finalCount;
    int32_t additionsAtEnd;
  };
  const std::vector<Case> cases = {
      {{0, 5s, 10s}, 5s, 1, 1},  // at 5 s; 10 s is the end, not in it
      {{0, 5s, 10s}, 1s, 2, 2},  // 1 s, 6 s
      {{2, 0s, 10s}, 0s, 2, 1},  // no growth: the backlog is one addition
      {{0, 0s, 10s}, 0s, 0, 0},  // nothing at all
      {{0, 5s, 5s}, 5s, 0, 0},   // the phase is past the duration
      {{4, 1s, 0s}, 1s, 4, 1},   // no duration, no growth
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.shape.backlog << " " << c.shape.spacing.count() << " "
                                    << c.shape.duration.count() << " " << c.phase.count());
    const ReportTable table(c.shape, 0s, c.phase);
    EXPECT_EQ(table.FinalCount(), c.finalCount);
    EXPECT_EQ(table.CreatedBy(1h), c.finalCount);
    EXPECT_EQ(table.AdditionsBy(1h), c.additionsAtEnd);
  }
}

TEST(FleetRowsTest, RowsAreAPureFunctionOfAgentAndId) {
  const auto row = FleetRow(42, 123, 1700000000);
  EXPECT_EQ(row.id, 123);
  EXPECT_EQ(row.time, 1700000000);
  EXPECT_EQ(row.vendor, "Fleet");
  EXPECT_EQ(row.product, "Sim Disk");
  EXPECT_EQ(row.serial, "FLEET-00042-000123");
  EXPECT_EQ(row.action, 0);
  EXPECT_EQ(FleetRow(42, 124, 0).action, 1);
  EXPECT_EQ(FleetRow(42, 125, 0).action, 2);
}

TEST(FleetRowsTest, BlockHoldsTheRowsAfterTheIdUpToTheLimitAndCutsBeforeTheBlockWouldPass131072Bytes) {
  // Every row here is 148 bytes (80 + 2 * (6 + 9 + 19) units), so 885 rows
  // fit in a block and the 886th would take it past 131,072 bytes.
  const ReportShape shape{3000, 0s, 0s};
  const ReportTable table(shape, 0s, 0s);
  ASSERT_EQ(management::EncodedRowSize(FleetRow(7, 1, 0)), 148u);
  ASSERT_LE(885u * 148, kMaxRowsBlockSize);
  ASSERT_GT(886u * 148, kMaxRowsBlockSize);
  const ReportShape small{300, 0s, 0s};
  const ReportTable smallTable(small, 0s, 0s);

  struct Case {
    const ReportTable* table;
    int32_t afterId;
    int32_t limit;
    int32_t first;
    int32_t count;
  };
  const std::vector<Case> cases = {
      {&smallTable, 0, -1, 1, 300},    // the whole table fits
      {&smallTable, 10, 5, 11, 5},     // the limit
      {&smallTable, 10, 0, 1, 0},      // a limit of 0: nothing
      {&smallTable, 299, -1, 300, 1},  // the last row
      {&smallTable, 300, -1, 1, 0},    // nothing after the newest
      {&smallTable, 5000, -1, 1, 0},   // an id past the table
      {&smallTable, -7, 2, 1, 2},      // below 1: from the first row
      {&table, 0, -1, 1, 885},         // the cut
      {&table, 0, 1000, 1, 885},       // the cut before the limit
      {&table, 0, 885, 1, 885},        // the limit and the cut at the same row
      {&table, 2500, -1, 2501, 500},   // the rest
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "after " << c.afterId << " limit " << c.limit);
    std::vector<uint8_t> block{1, 2, 3};  // replaced, not appended to
    const RowsSent sent = BuildRowsBlock(*c.table, 7, 1700000000, c.afterId, c.limit, 1s, block);
    EXPECT_EQ(sent.Count(), c.count);
    EXPECT_LE(block.size(), kMaxRowsBlockSize);
    const auto rows = DecodeRowsBlock(block.data(), block.size());
    ASSERT_TRUE(rows.has_value());
    ASSERT_EQ(rows->size(), static_cast<std::size_t>(c.count));
    if (c.count == 0) continue;
    EXPECT_EQ(sent.first, c.first);
    EXPECT_EQ(sent.last, c.first + c.count - 1);
    for (int32_t i = 0; i < c.count; ++i) EXPECT_EQ((*rows)[i].id, c.first + i);
    char serial[32];
    std::snprintf(serial, sizeof serial, "FLEET-00007-%06d", c.first);
    EXPECT_EQ(rows->front().serial, std::u16string(serial, serial + std::strlen(serial)));
    EXPECT_EQ(rows->front().time, 1700000000);
  }
}

TEST(FleetRowsTest, OnlyRowsCreatedByNowAreSent) {
  const ReportShape shape{2, 10s, 60s};
  const ReportTable table(shape, 0s, 10s);  // new rows at 10, 20, ... 50 s
  std::vector<uint8_t> block;
  EXPECT_EQ(BuildRowsBlock(table, 0, 1000, 0, -1, 25s, block).last, 4);
  const auto rows = DecodeRowsBlock(block.data(), block.size());
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 4u);
  EXPECT_EQ((*rows)[2].time, 1010);  // created 10 s after fleet time 0
  EXPECT_EQ((*rows)[3].time, 1020);
}

TEST(DelayHistogramTest, QuantilesAreBucketUpperEdgesNeverAboveTheExactMax) {
  DelayHistogram histogram;
  EXPECT_EQ(histogram.Samples(), 0u);
  EXPECT_EQ(histogram.Quantile(0.5), 0us);
  histogram.Add(1500us);
  histogram.Add(2500us);
  histogram.Add(3200us);
  EXPECT_EQ(histogram.Samples(), 3u);
  EXPECT_EQ(histogram.Quantile(0.5), 3ms);     // the second sample's bucket, 2..3 ms
  EXPECT_EQ(histogram.Quantile(1.0), 3200us);  // the bucket edge 4 ms is above the max
  EXPECT_EQ(histogram.Max(), 3200us);

  // 98 fast rows and 2 slow ones: the 99th percentile is a slow one.
  DelayHistogram mixed;
  mixed.Add(10ms, 98);
  mixed.Add(90s, 2);  // a 1-s bucket above 60 s
  EXPECT_EQ(mixed.Quantile(0.5), 11ms);
  EXPECT_EQ(mixed.Quantile(0.98), 11ms);
  EXPECT_EQ(mixed.Quantile(0.99), 90s);
  mixed.Add(5h);  // beyond the last bucket: the exact max
  EXPECT_EQ(mixed.Quantile(1.0), 5h);
  EXPECT_EQ(mixed.Max(), 5h);

  DelayHistogram negative;
  negative.Add(-5ms);  // a clock step: counted as no delay
  EXPECT_EQ(negative.Max(), 0us);
  EXPECT_EQ(negative.Quantile(0.5), 0us);
}

TEST(TurnScheduleTest, HandsOutEachDueAgentOnceAtItsEarliestTime) {
  TurnSchedule schedule(4);
  schedule.Want(0, 300ms);
  schedule.Want(1, 100ms);
  schedule.Want(1, 50ms);  // earlier: replaces 100 ms
  schedule.Want(2, 200ms);
  schedule.Want(2, 900ms);  // later: kept for after 200 ms
  schedule.Want(3, kNever);
  EXPECT_EQ(schedule.Earliest(), 50ms);

  std::vector<std::size_t> due;
  schedule.TakeDue(40ms, due);
  EXPECT_TRUE(due.empty());
  schedule.TakeDue(250ms, due);
  EXPECT_EQ(due, (std::vector<std::size_t>{1, 2}));  // agent 1 once, not again at 100 ms
  due.clear();
  schedule.TakeDue(250ms, due);
  EXPECT_TRUE(due.empty());
  schedule.Want(1, 100ms);  // asked again after it was handed out
  schedule.TakeDue(1s, due);
  EXPECT_EQ(due, (std::vector<std::size_t>{1, 0}));
  EXPECT_EQ(schedule.Earliest(), kNever);
}

TEST(HeldPoliciesTest, EqualPoliciesShareOneCopyAndItsDigest) {
  HeldPolicies policies;
  management::ParentPolicy first;
  first.ruleUsb__Parent = "rule";
  first.lockCdDvd__Parent = 1;
  management::ParentPolicy second = first;
  second.lockFloppy__Lock = 1;

  const auto a = policies.Hold(first);
  const auto b = policies.Hold(first);
  const auto c = policies.Hold(second);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_NE(a.get(), c.get());
  EXPECT_EQ(a->digest, management::ParentPolicyDigest(first));
  EXPECT_EQ(c->policy, second);
}

}  // namespace
}  // namespace vx::fleet
