// Several serve instances on one PostgreSQL database (a private cluster),
// each on a thread of its own, against agents running the real management
// client code: an agent held by one instance and refused by the other, then
// served by the other from its stored cursor when the first stops; a change
// made anywhere reaching the agents of every instance through the change
// signal, not the poll; an instance whose heartbeat lapsed ended by another,
// its agents coming back. Every wait is bounded.
#include <gtest/gtest.h>

#include "management/policy_exchange.h"
#include "management/protocol/message_catalogue.h"
#include "server/commands/policy_assignment.h"
#include "tests/server/support/agent_under_test.h"
#include "tests/server/support/raw_agent.h"
#include "tests/server/support/server_under_test.h"
#include "tests/support/private_postgres.h"

namespace vx::server {
namespace {

using test::AgentUnderTest;
using test::ServerUnderTest;
using test::WaitUntil;

const AgentId kAgentA{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};
const AgentId kAgentB{0xA0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

int64_t Now() { return test::RealSessionClock().WallSeconds(); }

class InstancesTest : public testing::Test {
 protected:
  InstancesTest() {
    store.engine = StoreEngine::Postgres;
    store.url = vx::test::NewPostgresDatabase();
  }
  bool HeldBy(Store& db, const AgentId& id, int64_t instance) {
    const auto agent = db.FindAgent(id);
    return agent.ok() && agent->instanceId == instance;
  }
  uint64_t Rows(Store& db, const AgentId& id) { return db.CountReports(id).value(); }

  StoreLocation store;
};

TEST_F(InstancesTest, AnAgentIsHeldByOneInstanceAndTheOtherTakesItOverFromItsStoredCursor) {
  ServerUnderTest first(store), second(store);
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(second.Start());  // no serve lock on a shared database
  ASSERT_NE(first.InstanceId(), second.InstanceId());
  AgentUnderTest agent(kAgentA);
  agent.StoreRows(3000);
  agent.Start(first.Port());
  auto db = first.OpenStore();
  ASSERT_TRUE(WaitUntil([&] { return Rows(*db, kAgentA) == 3000; }, 30000));
  EXPECT_TRUE(HeldBy(*db, kAgentA, first.InstanceId()));

  // The same ClientId at the other instance meanwhile: refused.
  test::RawAgent clone(second.Port());
  clone.SendHello(kAgentA);
  const auto reply = clone.ReadUntil(management::kHelloReply);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->body, std::vector<uint8_t>{0});
  EXPECT_EQ(
      second.log
          .Matching({"refused: the agent is connected already through instance " + std::to_string(first.InstanceId())})
          .size(),
      1u);

  // The first stops; the agent, pointed at the other, goes on from the
  // stored cursor: the new rows only, each once.
  first.Stop();
  EXPECT_FALSE(db->FindAgent(kAgentA)->connected);
  agent.Stop();
  agent.StoreRows(500);
  agent.Start(second.Port());
  ASSERT_TRUE(WaitUntil([&] { return Rows(*db, kAgentA) == 3500; }, 30000));
  EXPECT_TRUE(HeldBy(*db, kAgentA, second.InstanceId()));
  EXPECT_EQ(second.log.Matching({"agent 102132435465768798a9bacbdcedfe0f", "connected (report epoch 1, last id 3000)"})
                .size(),
            1u);
  EXPECT_EQ(db->GetReportCursor(kAgentA)->lastId, 3500);
}

// Both instances poll only once a minute here: the agents fall in line
// within seconds only because the change signal woke both.
TEST_F(InstancesTest, AChangeMadeAnywhereReachesTheAgentsOfEveryInstanceAtOnce) {
  ServerUnderTest first(store), second(store);
  first.Options().changePollMs = 60000;
  second.Options().changePollMs = 60000;
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(second.Start());
  AgentUnderTest a(kAgentA), b(kAgentB);
  a.Start(first.Port());
  b.Start(second.Port());
  auto db = first.OpenStore();
  ASSERT_TRUE(WaitUntil([&] {
    const auto one = db->FindAgent(kAgentA), two = db->FindAgent(kAgentB);
    return one.ok() && two.ok() && one->policy.heldDigest && two->policy.heldDigest;
  }));

  management::ParentPolicy fleet = ProductDefaultParentPolicy();
  fleet.lockFloppy__Parent = 0;
  fleet.lockFloppy__Lock = 1;
  ASSERT_TRUE(db->SetFleetPolicy(fleet, Now()).ok());
  const auto holds = [&](AgentUnderTest& agent) {
    return agent.policy.Read([](const PolicyState& s) { return management::ParentPolicyOf(s); }) == fleet;
  };
  EXPECT_TRUE(WaitUntil([&] { return holds(a) && holds(b); }, 20000));
  EXPECT_TRUE(WaitUntil([&] {
    const auto one = db->FindAgent(kAgentA), two = db->FindAgent(kAgentB);
    return one->policy.sync == PolicySync::InSync && two->policy.sync == PolicySync::InSync;
  }));
}

// An instance whose loop was held up past the life time is ended by the
// other's heartbeat: its agent may connect elsewhere at once, and the held-up
// instance, told at its own next beat, ends its sessions and registers anew.
TEST_F(InstancesTest, AnInstanceWhoseHeartbeatLapsedIsEndedAndItsAgentComesBack) {
  ServerUnderTest first(store), second(store);
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(second.Start());
  const int64_t firstId = first.InstanceId();
  AgentUnderTest agent(kAgentA);
  agent.Start(first.Port());
  auto db = first.OpenStore();
  ASSERT_TRUE(WaitUntil([&] { return HeldBy(*db, kAgentA, firstId); }));

  // The second's wall clock runs ahead of the first's last beat by more than
  // the life time, for a moment: the first's heartbeat counts as lapsed.
  second.clock.Advance((kInstanceLifeSeconds + 2) * 1000);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return !second.log.Matching({"instance " + std::to_string(firstId), "ended;"}).empty();
      },
      10000));
  second.clock.Advance(-(kInstanceLifeSeconds + 2) * 1000);
  ASSERT_TRUE(WaitUntil(
      [&] { return !first.log.Matching({"was ended by another instance (its heartbeat lapsed)"}).empty(); }, 10000));
  // The agent comes back to the first, which holds it under its new id.
  ASSERT_TRUE(
      WaitUntil([&] { return first.InstanceId() != firstId && HeldBy(*db, kAgentA, first.InstanceId()); }, 20000));
  const auto instances = db->ListInstances();
  ASSERT_TRUE(instances.ok());
  for (const InstanceRecord& instance : *instances) {
    SCOPED_TRACE(instance.instanceId);
    const bool current = instance.instanceId == first.InstanceId() || instance.instanceId == second.InstanceId();
    EXPECT_EQ(instance.endedAt.has_value(), !current);
  }
}

}  // namespace
}  // namespace vx::server
