// The whole server on loopback against hostile agents written byte by byte,
// while a real agent (the real management client code) drains its backlog
// beside them: each hostile stream ends its own connection and nothing else,
// the server stays up, and the real agent's rows arrive whole and once.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "management/protocol/message_catalogue.h"
#include "management/protocol/status_record.h"
#include "tests/server/support/agent_under_test.h"
#include "tests/server/support/raw_agent.h"
#include "tests/server/support/server_under_test.h"

namespace vx::server {
namespace {

using namespace vx::management;
using test::AgentUnderTest;
using test::RawAgent;
using test::ServerUnderTest;
using test::WaitUntil;

const AgentId kRealAgent{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                         0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

AgentId HostileId(int index) {
  AgentId id{};
  id.fill(0xEE);
  id[15] = static_cast<uint8_t>(index);
  return id;
}

std::vector<uint8_t> U32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

// Says hello and reads the accepting reply; false when it was not accepted.
bool Hello(RawAgent& agent, const AgentId& id) {
  agent.SendHello(id);
  const auto reply = agent.Read();
  return reply && reply->header.type == kHelloReply && reply->body == std::vector<uint8_t>{1};
}

class HostileAgentTest : public testing::Test {
 protected:
  uint64_t Rows(Store& store, const AgentId& id) { return store.CountReports(id).value(); }

  vx::test::TempDir dir;
  std::filesystem::path database = dir / "vxmgmtd.db";
};

TEST_F(HostileAgentTest, EachHostileStreamEndsOnlyItsOwnConnection) {
  ServerUnderTest server(database);
  ASSERT_TRUE(server.Start());
  auto store = server.OpenStore();
  AgentUnderTest real(kRealAgent);
  real.StoreRows(3000);
  real.Start(server.Port());

  struct Case {
    const char* name;
    std::function<void(RawAgent&)> attack;  // after an accepted hello
    const char* reason;                     // in the log line of the ended session
  };
  const std::vector<Case> cases = {
      {"a rows block above 131,072 bytes",
       [](RawAgent& a) {
         a.SendHeader(kReportNotice, 0, U32(5));
         ASSERT_TRUE(a.ReadUntil(kReportRowsRequest).has_value());
         a.SendHeader(kReportRowsReply, 131073);
       },
       "a rows block of 131073 bytes, above 131072"},
      {"a wrong checksum",
       [](RawAgent& a) {
         auto header = EncodeHeader(MessageHeader{kKeepAlive, 0});
         header[6] ^= 0x01;
         a.Send(std::vector<uint8_t>(header.begin(), header.end()));
       },
       "a header with a wrong checksum"},
      {"an unknown type", [](RawAgent& a) { a.SendHeader(4242); }, "type 4242, which an agent does not send"},
      {"garbage after the hello",
       [](RawAgent& a) {
         a.Send({0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
       },
       "session ended: a"},
      {"a policySet from the agent (only the server sends one)",
       [](RawAgent& a) { a.SendHeader(kPolicySet, 4, U32(0)); }, "type 5012, which an agent does not send"},
      {"a rows block nobody asked for", [](RawAgent& a) { a.SendHeader(kReportRowsReply, 0); },
       "a reportRowsReply nobody asked for"},
      {"a keep-alive with a length", [](RawAgent& a) { a.SendHeader(kKeepAlive, 16); },
       "keepAlive with a length field of 16"},
      {"a second hello", [](RawAgent& a) { a.SendHello(HostileId(99)); }, "a second hello"},
      {"a rows block that does not decode",
       [](RawAgent& a) {
         a.SendHeader(kReportNotice, 0, U32(5));
         ASSERT_TRUE(a.ReadUntil(kReportRowsRequest).has_value());
         a.SendHeader(kReportRowsReply, 10, std::vector<uint8_t>(10, 0x41));
       },
       "a rows block that does not decode"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AgentId id = HostileId(index++);
    RawAgent hostile(server.Port());
    ASSERT_TRUE(hostile.Connected());
    ASSERT_TRUE(Hello(hostile, id));
    c.attack(hostile);
    EXPECT_TRUE(hostile.ClosedByServer());
    EXPECT_TRUE(WaitUntil(
        [&] {
          return !server.log.Matching({AgentIdHex(id), c.reason}).empty();
        },
        2000))
        << "no log line with: " << c.reason;
    EXPECT_TRUE(WaitUntil([&] { return !store->FindAgent(id)->connected; }, 2000));
  }
  // Nothing an agent sent set a policy.
  EXPECT_FALSE(store->GetFleetPolicy()->has_value());
  for (int i = 0; i < index; ++i) EXPECT_FALSE(store->GetAgentPolicy(HostileId(i))->has_value());

  // The real agent's session went on beside them.
  ASSERT_TRUE(WaitUntil([&] { return Rows(*store, kRealAgent) == 3000; }, 20000));
  const auto rows = store->ListReports(ReportQuery{.agent = kRealAgent, .limit = 5000}).value();
  for (std::size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(rows[i].row.id, static_cast<int32_t>(i + 1));
  EXPECT_TRUE(store->FindAgent(kRealAgent)->connected);
  EXPECT_TRUE(server.log.Matching({AgentIdHex(kRealAgent), "session ended"}).empty());
}

// Stalls end the connection once the server's clock has moved past the
// 30-second bound; the server then serves the next agent as before.
TEST_F(HostileAgentTest, AStalledHelloOrBodyEndsTheConnectionAfterThirtySeconds) {
  ServerUnderTest server(database);
  ASSERT_TRUE(server.Start());
  struct Case {
    const char* name;
    std::function<void(RawAgent&)> stall;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"a connection that never says hello", [](RawAgent&) {}, "no complete hello within 30.0 s"},
      {"half a hello",
       [](RawAgent& a) {
         a.Send({0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x10, 0x21});
       },
       "no complete hello within 30.0 s"},
      {"a status record cut after 100 of its 404 bytes",
       [](RawAgent& a) {
         ASSERT_TRUE(Hello(a, HostileId(1)));
         ASSERT_TRUE(a.ReadUntil(kStatusRequest).has_value());
         a.SendHeader(kStatusReply, 0, std::vector<uint8_t>(100, 0));
       },
       "a message stalled for 30.0 s"},
      {"requests never answered",
       [](RawAgent& a) {
         ASSERT_TRUE(Hello(a, HostileId(2)));
         ASSERT_TRUE(a.ReadUntil(kStatusRequest).has_value());
       },
       "no reply within 30.0 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawAgent hostile(server.Port());
    ASSERT_TRUE(hostile.Connected());
    c.stall(hostile);
    // Not ended while the bound has not passed.
    EXPECT_FALSE(hostile.ClosedByServer(300));
    server.clock.Advance(31000);
    EXPECT_TRUE(hostile.ClosedByServer(2000));
    EXPECT_FALSE(server.log.Matching({c.reason}).empty());
  }
  AgentUnderTest real(kRealAgent);
  real.StoreRows(100);
  real.Start(server.Port());
  auto store = server.OpenStore();
  EXPECT_TRUE(WaitUntil([&] { return Rows(*store, kRealAgent) == 100; }));
}

// A second connection of a connected agent is refused (helloReply status 0)
// and the first goes on: a half-dead first connection ends by its own
// silence bound, and refusing the newer one keeps two machines that share a
// cloned ClientId from pushing each other off in a loop.
TEST_F(HostileAgentTest, ASecondConnectionWithTheSameClientIdIsRefusedAndTheFirstGoesOn) {
  ServerUnderTest server(database);
  ASSERT_TRUE(server.Start());
  auto store = server.OpenStore();
  AgentUnderTest real(kRealAgent);
  real.StoreRows(2000);
  real.Start(server.Port());
  ASSERT_TRUE(WaitUntil([&] { return store->FindAgent(kRealAgent).ok() && store->FindAgent(kRealAgent)->connected; }));

  RawAgent twin(server.Port());
  twin.SendHello(kRealAgent);
  const auto reply = twin.Read();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->header.type, kHelloReply);
  EXPECT_EQ(reply->body, std::vector<uint8_t>{0});
  EXPECT_TRUE(twin.ClosedByServer());
  EXPECT_EQ(server.log.Matching({"refused: the agent is connected already from 127.0.0.1:"}).size(), 1u);

  real.StoreRows(500);
  ASSERT_TRUE(WaitUntil([&] { return Rows(*store, kRealAgent) == 2500; }, 20000));
  EXPECT_TRUE(store->FindAgent(kRealAgent)->connected);
  // The one ended session of that id is the refused twin's.
  EXPECT_EQ(server.log.Matching({AgentIdHex(kRealAgent), "session ended"}).size(), 1u);
}

TEST_F(HostileAgentTest, NoMoreThanMaxAgentsConnectionsAreOpenAtOnce) {
  ServerUnderTest server(database);
  server.Options().agents.maxAgents = 2;
  ASSERT_TRUE(server.Start());
  auto first = std::make_unique<RawAgent>(server.Port());
  RawAgent second(server.Port());
  ASSERT_TRUE(Hello(*first, HostileId(1)));
  ASSERT_TRUE(Hello(second, HostileId(2)));
  RawAgent third(server.Port());
  ASSERT_TRUE(third.Connected());  // accepted by the kernel, then closed unread
  third.SendHello(HostileId(3));
  EXPECT_FALSE(third.Read(1000).has_value());
  EXPECT_TRUE(third.ClosedByServer());
  EXPECT_EQ(server.log.Matching({"connection refused: 2 agents are connected, the limit (--max-agents)"}).size(), 1u);
  auto store = server.OpenStore();
  EXPECT_EQ(store->FindAgent(HostileId(3)).failure(), StoreFailure::NotFound);

  // A place frees up when one leaves.
  first.reset();
  ASSERT_TRUE(WaitUntil([&] { return !server.log.Matching({AgentIdHex(HostileId(1)), "session ended"}).empty(); }));
  RawAgent fourth(server.Port());
  EXPECT_TRUE(Hello(fourth, HostileId(4)));
}

}  // namespace
}  // namespace vx::server
