// The whole server (serve: SQLite store, Asio network side, change poll) on
// loopback against agents running the real management client code on real
// time: enrollment, status, report backlogs and epochs, a restart mid-drain,
// policy sets and drift, and an update delivered once. Every wait is bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include "management/policy_exchange.h"
#include "management/protocol/parent_policy.h"
#include "server/store/agent_text.h"
#include "tests/server/support/agent_under_test.h"
#include "tests/server/support/server_under_test.h"

namespace vx::server {
namespace {

using management::ParentPolicy;
using test::AgentUnderTest;
using test::ServerUnderTest;
using test::WaitUntil;

const AgentId kAgentA{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};
const AgentId kAgentB{0xA0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

int64_t Now() { return test::RealSessionClock().WallSeconds(); }

class ServerClientTest : public testing::Test {
 protected:
  bool Connected(Store& store, const AgentId& id) {
    const auto agent = store.FindAgent(id);
    return agent.ok() && agent->connected;
  }
  uint64_t Rows(Store& store, const AgentId& id) { return store.CountReports(id).value(); }

  vx::test::TempDir dir;
  std::filesystem::path database = dir / "vxmgmtd.db";
};

TEST_F(ServerClientTest, OpenEnrollmentAcceptsANewAgentAndRecordsItsDecodedStatus) {
  ServerUnderTest server(database);
  ASSERT_TRUE(server.Start());
  AgentUnderTest agent(kAgentA);
  agent.status.computerName = u"VX-\u00e9T\u0416";  // units above 0x7F kept as they came
  agent.status.acLineStatus = 0;                    // on battery
  agent.status.tickCount = 3723000;
  agent.status.version = 0x1DB10106;
  agent.Start(server.Port());
  auto store = server.OpenStore();
  ASSERT_TRUE(WaitUntil([&] {
    const auto record = store->FindAgent(kAgentA);
    return record.ok() && record->status.has_value();
  }));
  const AgentRecord record = store->FindAgent(kAgentA).value();
  EXPECT_EQ(record.enrollment, Enrollment::Approved);
  EXPECT_TRUE(record.connected);
  EXPECT_EQ(record.address.rfind("127.0.0.1:", 0), 0u);
  EXPECT_GT(record.firstSeen, 0);
  ASSERT_TRUE(record.status);
  EXPECT_EQ(AgentTextUnits(record.status->computerName), agent.status.computerName);
  EXPECT_EQ(record.status->uptimeSeconds, 3723u);
  EXPECT_TRUE(record.status->onBattery);
  EXPECT_EQ(record.status->windowsVersion, 0x1DB10106u);
  // The default policy locks CD/DVD and floppy drives; its status word is 0.
  const auto locks = agent.policy.Read(
      [](const PolicyState& s) { return std::pair<bool, bool>(s.lockCdDvd != 0, s.lockFloppy != 0); });
  EXPECT_EQ(record.status->lockCdDvd, locks.first);
  EXPECT_EQ(record.status->lockFloppy, locks.second);
  EXPECT_EQ(server.log.Matching({"agent 102132435465768798a9bacbdcedfe0f", "enrolled, approved"}).size(), 1u);
  EXPECT_EQ(server.log.Matching({"agent 102132435465768798a9bacbdcedfe0f", "connected"}).size(), 1u);

  agent.Stop();
  ASSERT_TRUE(WaitUntil([&] { return !Connected(*store, kAgentA); }));
}

TEST_F(ServerClientTest, ApprovalHoldsANewAgentUntilApprovedAndARevocationEndsItsSession) {
  ServerUnderTest server(database, EnrollMode::Approve);
  ASSERT_TRUE(server.Start());
  AgentUnderTest agent(kAgentA);
  agent.StoreRows(5);
  agent.Start(server.Port());
  auto store = server.OpenStore();
  ASSERT_TRUE(WaitUntil([&] { return store->FindAgent(kAgentA).ok(); }));
  EXPECT_EQ(store->FindAgent(kAgentA)->enrollment, Enrollment::Pending);
  // Refused, so nothing was asked of it.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(Connected(*store, kAgentA));
  EXPECT_EQ(Rows(*store, kAgentA), 0u);
  EXPECT_FALSE(store->FindAgent(kAgentA)->status.has_value());
  EXPECT_EQ(server.log.Matching({"pending approval (vxmgmtd agents approve 102132435465768798a9bacbdcedfe0f)"}).size(),
            1u);

  // Approved by an administrator: accepted at its next attempt (5 s later).
  ASSERT_TRUE(store->SetEnrollment(kAgentA, Enrollment::Approved, Now()).ok());
  ASSERT_TRUE(WaitUntil([&] { return Rows(*store, kAgentA) == 5; }, 15000));
  EXPECT_TRUE(Connected(*store, kAgentA));

  // Revoked while connected: the session ends within a few seconds and the
  // agent is refused from then on.
  ASSERT_TRUE(store->SetEnrollment(kAgentA, Enrollment::Revoked, Now()).ok());
  ASSERT_TRUE(WaitUntil([&] { return !Connected(*store, kAgentA); }, 5000));
  EXPECT_EQ(server.log.Matching({"session ended: ended: revoked by an administrator"}).size(), 1u);
  agent.StoreRows(3);
  std::this_thread::sleep_for(std::chrono::milliseconds(6000));  // one retry of the agent
  EXPECT_FALSE(Connected(*store, kAgentA));
  EXPECT_EQ(Rows(*store, kAgentA), 5u);
  EXPECT_GE(server.log.Matching({"refused: revoked"}).size(), 1u);
}

// The pages of a drain, from the server's debug lines: rows and bytes each.
std::vector<std::pair<int, int>> Pages(const test::RecordingLog& log) {
  std::vector<std::pair<int, int>> pages;
  for (const std::string& line : log.Matching({": page after id "})) {
    const auto colon = line.find(": ", line.find("page after id"));
    int rows = 0, bytes = 0;
    if (std::sscanf(line.c_str() + colon + 2, "%d rows in %d bytes", &rows, &bytes) == 2)
      pages.emplace_back(rows, bytes);
  }
  return pages;
}

TEST_F(ServerClientTest, ABacklogOfTenThousandRowsIsDrainedExactlyOnceAcrossFullPages) {
  ServerUnderTest server(database);
  server.Options().agents.session.progressIntervalMs = 300;  // the drain takes about 1.5 s
  ASSERT_TRUE(server.Start());
  AgentUnderTest agent(kAgentA);
  agent.StoreRows(10000);
  agent.Start(server.Port());
  auto store = server.OpenStore();
  ASSERT_TRUE(WaitUntil([&] { return Rows(*store, kAgentA) == 10000; }, 30000));
  EXPECT_EQ(store->GetReportCursor(kAgentA)->lastId, 10000);

  // Every row once, as the agent holds it.
  const auto stored = store->ListReports(ReportQuery{.agent = kAgentA, .limit = 20000}).value();
  ASSERT_EQ(stored.size(), 10000u);
  const auto held = ReportsAfter(agent.dir / "reportdb.dat", 0, -1);
  ASSERT_EQ(held.size(), 10000u);
  for (std::size_t i = 0; i < held.size(); ++i) {
    ASSERT_EQ(stored[i].row.id, held[i].id);
    EXPECT_EQ(stored[i].row.time, held[i].row.time);
    EXPECT_EQ(stored[i].row.serial, held[i].row.serial);
    EXPECT_EQ(stored[i].row.action, held[i].row.action);
    EXPECT_EQ(stored[i].epoch, 1);
  }
  // Pages cut at 131,072 bytes: each but the last is as full as a block gets.
  ASSERT_TRUE(WaitUntil([&] { return !server.log.Matching({"backlog drained: 10000 rows"}).empty(); }, 5000));
  const auto pages = Pages(server.log);
  ASSERT_GE(pages.size(), 13u);
  int rows = 0;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    rows += pages[i].first;
    EXPECT_LE(pages[i].second, 131072);
    if (i + 1 < pages.size()) {
      EXPECT_GT(pages[i].second, 131072 - 200);
    }
  }
  EXPECT_EQ(rows, 10000);
  // Progress lines while it drained: rows stored, rows left by the notice, rows per second.
  const auto progress = server.log.Matching({"draining: ", " rows stored, ", " left by the last notice, ", " rows/s"});
  ASSERT_FALSE(progress.empty());
  int storedSoFar = 0, left = 0, rate = 0;
  ASSERT_EQ(std::sscanf(progress.front().c_str() + progress.front().find("draining: "),
                        "draining: %d rows stored, %d left by the last notice, %d rows/s", &storedSoFar, &left, &rate),
            3);
  EXPECT_EQ(storedSoFar + left, 10000);
  EXPECT_GT(rate, 0);

  // New rows: the agent's timed notice fetches just those.
  agent.StoreRows(7);
  ASSERT_TRUE(WaitUntil([&] { return Rows(*store, kAgentA) == 10007; }, 20000));
}

TEST_F(ServerClientTest, AServerStoppedMidDrainContinuesFromTheLastStoredRowWithNoGapAndNoDuplicate) {
  auto server = std::make_unique<ServerUnderTest>(database);
  ASSERT_TRUE(server->Start());
  AgentUnderTest agent(kAgentA);
  agent.StoreRows(10000);
  agent.Start(server->Port());
  auto store = server->OpenStore();
  ASSERT_TRUE(WaitUntil([&] { return Rows(*store, kAgentA) >= 2000; }, 30000));
  const uint16_t port = server->Port();
  server->Stop();
  const uint64_t atStop = Rows(*store, kAgentA);
  ASSERT_LT(atStop, 10000u) << "the drain finished before the stop";
  EXPECT_EQ(static_cast<uint64_t>(store->GetReportCursor(kAgentA)->lastId), atStop);

  // A new serve over the same store and port: the agent reconnects (after
  // its 5-second wait) and is asked from its last stored id on.
  ServerUnderTest restarted(database);
  restarted.Options().agents.listen.port = port;
  ASSERT_TRUE(restarted.Start());
  ASSERT_TRUE(WaitUntil([&] { return Rows(*store, kAgentA) == 10000; }, 30000));
  const auto firstPage = restarted.log.Matching({"page after id "});
  ASSERT_FALSE(firstPage.empty());
  EXPECT_NE(firstPage.front().find("page after id " + std::to_string(atStop) + ":"), std::string::npos)
      << firstPage.front();
  const auto stored = store->ListReports(ReportQuery{.agent = kAgentA, .limit = 20000}).value();
  ASSERT_EQ(stored.size(), 10000u);
  for (std::size_t i = 0; i < stored.size(); ++i) ASSERT_EQ(stored[i].row.id, static_cast<int32_t>(i + 1));
}

TEST_F(ServerClientTest, AnAgentWhoseReportDatabaseWasRecreatedStartsANewEpochAndKeepsTheOldRows) {
  ServerUnderTest server(database);
  ASSERT_TRUE(server.Start());
  AgentUnderTest agent(kAgentA);
  agent.StoreRows(50);
  agent.Start(server.Port());
  auto store = server.OpenStore();
  ASSERT_TRUE(WaitUntil([&] { return Rows(*store, kAgentA) == 50; }));
  const auto before = store->ListReports(ReportQuery{.agent = kAgentA, .epoch = 1}).value();
  agent.Stop();

  agent.RemoveReportDatabase();
  agent.StoreRows(10, 1800000000);
  agent.Start(server.Port());
  ASSERT_TRUE(WaitUntil([&] { return Rows(*store, kAgentA) == 60; }));
  EXPECT_EQ(*store->GetReportCursor(kAgentA), (ReportCursor{2, 10}));
  const auto epoch2 = store->ListReports(ReportQuery{.agent = kAgentA, .epoch = 2}).value();
  ASSERT_EQ(epoch2.size(), 10u);
  EXPECT_EQ(epoch2.front().row.time, 1800000000);
  const auto after = store->ListReports(ReportQuery{.agent = kAgentA, .epoch = 1}).value();
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].row, before[i].row);
  EXPECT_EQ(server.log.Matching({"its newest report id 10 is below the stored 50", "report epoch 2 starts"}).size(),
            1u);
}

ParentPolicy AssignedRules(uint8_t floppy) {
  ParentPolicy policy;
  // One block rule: 528 hexadecimal digits.
  policy.ruleUsb__Parent = std::string(520, '0') + "00000001";
  policy.ruleUsb__Lock = 1;
  policy.lockCdDvd__Parent = 0;
  policy.lockFloppy__Parent = floppy;
  policy.password__Parent = "fleet secret";
  return policy;
}

TEST_F(ServerClientTest, AnAssignedPolicyIsSetAndItsDigestMatchesAndAChangeReachesTheAgentWithoutARestart) {
  ServerUnderTest server(database);
  ASSERT_TRUE(server.Start());
  auto store = server.OpenStore();
  ASSERT_TRUE(store->SetFleetPolicy(AssignedRules(1), Now()).ok());
  AgentUnderTest agent(kAgentA);
  agent.Start(server.Port());
  auto held = [&] { return agent.policy.Read([](const PolicyState& s) { return management::ParentPolicyOf(s); }); };
  ASSERT_TRUE(WaitUntil(
      [&] { return store->FindAgent(kAgentA).ok() && store->FindAgent(kAgentA)->policy.sync == PolicySync::InSync; }));
  EXPECT_EQ(held(), AssignedRules(1));
  AgentPolicyState state = store->FindAgent(kAgentA)->policy;
  EXPECT_EQ(state.heldDigest, state.expectedDigest);
  EXPECT_EQ(state.heldDigest, management::ParentPolicyDigest(AssignedRules(1)));
  EXPECT_EQ(state.tries, 0);

  // The agent's own assignment, while it is connected.
  ASSERT_TRUE(store->SetAgentPolicy(kAgentA, AssignedRules(0), Now()).ok());
  ASSERT_TRUE(WaitUntil([&] { return held() == AssignedRules(0); }, 5000));
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto s = store->FindAgent(kAgentA)->policy;
        return s.sync == PolicySync::InSync && s.heldDigest == management::ParentPolicyDigest(AssignedRules(0));
      },
      5000));
  EXPECT_EQ(server.log.Matching({"policySet 1 of 3"}).size(), 2u);
  EXPECT_TRUE(server.log.Matching({"drifted"}).empty());
}

TEST_F(ServerClientTest, AnAgentThatUndoesEverySetIsShownAsDriftedWithBothDigests) {
  ServerUnderTest server(database);
  ASSERT_TRUE(server.Start());
  auto store = server.OpenStore();
  ASSERT_TRUE(store->SetFleetPolicy(AssignedRules(1), Now()).ok());
  AgentUnderTest agent(kAgentA);
  // Something on the machine puts the floppy lock back after every change
  // (within a few ms; the digest request is handled 100 ms after the set).
  std::atomic<bool> tampering{true};
  std::thread tamper([&] {
    uint64_t seen = agent.policy.Generation();
    while (tampering.load()) {
      if (agent.policy.Generation() != seen) {
        agent.policy.ChangeParentValues([](PolicyState& s) { s.lockFloppy__Parent = 0; });
        seen = agent.policy.Generation();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  agent.Start(server.Port());
  const bool drifted = WaitUntil([&] {
    const auto record = store->FindAgent(kAgentA);
    return record.ok() && record->policy.sync == PolicySync::Drifted;
  });
  tampering.store(false);
  tamper.join();
  ASSERT_TRUE(drifted);
  const AgentPolicyState state = store->FindAgent(kAgentA)->policy;
  ParentPolicy tampered = AssignedRules(1);
  tampered.lockFloppy__Parent = 0;
  EXPECT_EQ(state.expectedDigest, management::ParentPolicyDigest(AssignedRules(1)));
  EXPECT_EQ(state.heldDigest, management::ParentPolicyDigest(tampered));
  EXPECT_EQ(state.tries, kPolicyTries);
  EXPECT_EQ(server.log.Matching({"policySet 3 of 3"}).size(), 1u);
  EXPECT_TRUE(server.log.Matching({"policySet 4"}).empty());
  EXPECT_EQ(server.log.Matching({"policy drifted: holds", "after 3 policySets"}).size(), 1u);
}

TEST_F(ServerClientTest, AQueuedUpdateIsDeliveredOnceAndRecorded) {
  ServerUnderTest server(database);
  ASSERT_TRUE(server.Start());
  AgentUnderTest agent(kAgentA);
  agent.Start(server.Port());
  auto store = server.OpenStore();
  ASSERT_TRUE(WaitUntil([&] { return Connected(*store, kAgentA); }));
  std::vector<uint8_t> installer(150000);
  for (std::size_t i = 0; i < installer.size(); ++i) installer[i] = static_cast<uint8_t>(i * 31 + 7);
  const auto queued = store->QueueUpdate(std::vector<AgentId>{kAgentA}, "VXUP-1.5.0.1200.exe", installer, Now());
  ASSERT_TRUE(queued.ok());

  ASSERT_TRUE(WaitUntil([&] { return store->ListUpdates(kAgentA)->at(0).deliveredAt.has_value(); }, 10000));
  ASSERT_EQ(agent.installer.Starts().size(), 1u);
  EXPECT_EQ(agent.installer.Writes(), (std::vector<std::size_t>{65536, 65536, 18928}));
  std::ifstream file(agent.dir / "VXUP.exe", std::ios::binary);
  const std::vector<uint8_t> written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, installer);
  EXPECT_EQ(server.log.Matching({"update " + std::to_string(queued->at(0)), "delivered"}).size(), 1u);

  // Not sent again, on this connection or the next.
  agent.Stop();
  agent.Start(server.Port());
  ASSERT_TRUE(WaitUntil([&] { return Connected(*store, kAgentA); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(agent.installer.Starts().size(), 1u);
  EXPECT_EQ(agent.installer.Opened().size(), 1u);
}

}  // namespace
}  // namespace vx::server
