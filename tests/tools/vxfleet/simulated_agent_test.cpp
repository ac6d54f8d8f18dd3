// The simulated agent driven directly, as the network driver drives it but
// without sockets: connection events, bytes fed one at a time through
// ReadSpace, output taken and decoded with the protocol library, and time
// moved by hand, so 120-second keep-alives and 30-second bounds take no time.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "management/protocol/message_catalogue.h"
#include "management/protocol/message_header.h"
#include "management/protocol/parent_policy.h"
#include "management/protocol/policy_list.h"
#include "management/protocol/rows_block.h"
#include "management/protocol/status_record.h"
#include "tools/vxfleet/fleet.h"

namespace vx::fleet {
namespace {

using namespace std::chrono_literals;
using namespace vx::management;
using Bytes = std::vector<uint8_t>;

class RecordingLog final : public FleetLog {
 public:
  void Warn(std::string_view text) override { lines.emplace_back(text); }
  std::vector<std::string> lines;
};

Bytes Message(uint16_t type, Bytes body = {}, uint32_t length = 0) {
  const auto header = EncodeHeader(MessageHeader{type, length});
  body.insert(body.begin(), header.begin(), header.end());
  return body;
}

Bytes U32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

uint32_t GetU32(const Bytes& bytes) {
  return static_cast<uint32_t>(bytes.at(0)) | static_cast<uint32_t>(bytes.at(1)) << 8 |
         static_cast<uint32_t>(bytes.at(2)) << 16 | static_cast<uint32_t>(bytes.at(3)) << 24;
}

Bytes RowsRequest(int32_t afterId, int32_t limit = -1) {
  Bytes body = U32(static_cast<uint32_t>(afterId));
  const Bytes limitBytes = U32(static_cast<uint32_t>(limit));
  body.insert(body.end(), limitBytes.begin(), limitBytes.end());
  return Message(kReportRowsRequest, body);
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A message the agent sent, split by its header as the server splits it.
struct Sent {
  uint16_t type = 0;
  uint32_t length = 0;
  Bytes body;
};

FleetPlan OneAgent(ReportShape reports = {}) {
  FleetPlan plan;
  plan.agents = 1;
  plan.reports = reports;
  plan.wallSecondsAtZero = 1700000000;
  plan.seed = 7;
  return plan;
}

// One agent of a one-agent fleet, and what a network driver would do.
class AgentDriver {
 public:
  explicit AgentDriver(const FleetPlan& plan = OneAgent()) : fleet_(plan, log) {}

  SimulatedAgent& agent() { return fleet_.Agent(0); }
  const FleetStatistics& statistics() const { return fleet_.Statistics(); }

  // Turns until the agent asks for a connection, then a TCP connection to
  // `server` that is made at once. Returns what the agent sent: its hello.
  std::vector<Sent> Open(FleetTime at, std::size_t server = 0) {
    agent().Turn(at);
    EXPECT_TRUE(agent().WantsConnect());
    agent().ConnectStarted(server, at);
    agent().Connected(at);
    return Take(at);
  }

  // Opens, the hello sent (its bytes are the subject of a test of their own).
  void StartHandshake(FleetTime at, std::size_t server = 0) { Open(at, server); }

  // Opens and answers the hello with an accepting helloReply.
  void Connect(FleetTime at, std::size_t server = 0) {
    StartHandshake(at, server);
    Feed(Join({Message(kHelloReply), {1}}), at);
    ASSERT_EQ(agent().CurrentPhase(), SimulatedAgent::Phase::Connected);
  }

  // Feeds `bytes` one byte at a time for as long as the agent takes them.
  // Returns how many it took.
  std::size_t Feed(const Bytes& bytes, FleetTime at) {
    std::size_t taken = 0;
    while (taken < bytes.size()) {
      const std::span<uint8_t> space = agent().ReadSpace();
      if (space.empty()) break;
      space[0] = bytes[taken++];
      agent().Received(1, at);
    }
    return taken;
  }

  // Feeds a large body in pieces as big as the agent takes.
  void FeedInPieces(const Bytes& bytes, FleetTime at) {
    std::size_t taken = 0;
    while (taken < bytes.size()) {
      const std::span<uint8_t> space = agent().ReadSpace();
      ASSERT_FALSE(space.empty());
      const std::size_t count = std::min(space.size(), bytes.size() - taken);
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(taken), count, space.begin());
      agent().Received(count, at);
      taken += count;
    }
  }

  // Everything the agent queued, sent in full and split into messages.
  std::vector<Sent> Take(FleetTime at) {
    const std::span<const uint8_t> output = agent().Output();
    const Bytes bytes(output.begin(), output.end());
    if (!bytes.empty()) agent().Sent(bytes.size(), at);
    std::vector<Sent> messages;
    std::size_t at_ = 0;
    while (at_ < bytes.size()) {
      EXPECT_GE(bytes.size() - at_, kHeaderSize);
      const auto header = DecodeHeader(bytes.data() + at_);
      EXPECT_TRUE(header.has_value());
      if (!header) break;
      const MessageKind* kind = FindMessage(header->type);
      EXPECT_NE(kind, nullptr);
      if (!kind) break;
      EXPECT_EQ(kind->direction, Direction::ClientToServer);
      const std::size_t size = kind->lengthField == LengthField::BodySize ? header->length : kind->fixedBodySize;
      at_ += kHeaderSize;
      messages.push_back(Sent{header->type, header->length,
                              Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at_),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(at_ + size))});
      at_ += size;
    }
    return messages;
  }

  // A turn, and what it sent.
  std::vector<Sent> TurnAt(FleetTime at) {
    agent().Turn(at);
    return Take(at);
  }

  // A turn whose messages this test does not look at (others do): they are
  // sent, so the agent goes on.
  void TurnAndSend(FleetTime at) { TurnAt(at); }

  RecordingLog log;

 private:
  Fleet fleet_;
};

std::vector<uint16_t> Types(const std::vector<Sent>& messages) {
  std::vector<uint16_t> types;
  for (const Sent& message : messages) types.push_back(message.type);
  return types;
}

// ---- Hello ---------------------------------------------------------------------

TEST(SimulatedAgentTest, HelloCarriesTheClientIdAndAnAcceptingReplyConnectsWhateverItsLength) {
  FleetPlan plan = OneAgent();
  plan.firstAgent = 5;
  AgentDriver driver(plan);
  const auto hello = driver.Open(0s);
  ASSERT_EQ(hello.size(), 1u);
  EXPECT_EQ(hello[0].type, kHello);
  EXPECT_EQ(hello[0].length, 0u);
  const ClientId id = MakeClientId(kDefaultIdPrefix, 5);
  EXPECT_EQ(hello[0].body, Bytes(id.begin(), id.end()));
  EXPECT_EQ(driver.agent().CurrentPhase(), SimulatedAgent::Phase::Handshake);

  // The header first; the status byte only once the header was found good.
  EXPECT_EQ(driver.Feed(Message(kHelloReply, {}, 12345), 1s), kHeaderSize);
  EXPECT_EQ(driver.agent().ReadSpace().size(), 1u);
  EXPECT_EQ(driver.Feed({7}, 1s), 1u);  // any status but 0 accepts
  EXPECT_EQ(driver.agent().CurrentPhase(), SimulatedAgent::Phase::Connected);
  EXPECT_EQ(driver.statistics().connectAttempts, 1u);
  EXPECT_EQ(driver.statistics().connected, 1u);
  EXPECT_EQ(driver.statistics().maxConnected, 1u);
}

TEST(SimulatedAgentTest, AFailedHelloIsFollowedByANewAttemptAfterFiveSeconds) {
  Bytes wrongChecksum = Join({Message(kHelloReply), {1}});
  wrongChecksum[6] ^= 0x01;
  struct Case {
    const char* what;
    std::function<FleetTime(AgentDriver&)> fail;  // makes the attempt fail; returns when it failed
    uint64_t refused;
    uint64_t failures;
  };
  const std::vector<Case> cases = {
      {"refused",
       [](AgentDriver& d) {
         d.StartHandshake(0s);
         EXPECT_EQ(d.Feed(Join({Message(kHelloReply), {0}}), 2s), 8u);
         return FleetTime(2s);
       },
       1, 0},
      {"a reply of another type",
       [](AgentDriver& d) {
         d.StartHandshake(0s);
         EXPECT_EQ(d.Feed(Join({Message(kStatusRequest), {1}}), 2s), kHeaderSize);  // the status byte is not read
         return FleetTime(2s);
       },
       0, 1},
      {"a wrong checksum",
       [&](AgentDriver& d) {
         d.StartHandshake(0s);
         EXPECT_EQ(d.Feed(wrongChecksum, 2s), kHeaderSize);
         return FleetTime(2s);
       },
       0, 1},
      {"no reply within 30 s",
       [](AgentDriver& d) {
         d.StartHandshake(0s);
         EXPECT_EQ(d.Feed(Message(kHelloReply), 20s), kHeaderSize);  // the status byte never comes
         EXPECT_EQ(d.agent().NextTurnDue(20s), 30s);
         d.agent().Turn(30s - 1us);
         EXPECT_EQ(d.agent().CurrentPhase(), SimulatedAgent::Phase::Handshake);
         d.agent().Turn(30s);
         return FleetTime(30s);
       },
       0, 1},
      {"no TCP connection",
       [](AgentDriver& d) {
         d.agent().Turn(0s);
         d.agent().ConnectStarted(0, 0s);
         d.agent().ConnectFailed(1s);
         return FleetTime(1s);
       },
       0, 1},
      {"closed by the server before the reply",
       [](AgentDriver& d) {
         d.StartHandshake(0s);
         d.agent().ConnectionLost(3s);
         return FleetTime(3s);
       },
       0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AgentDriver driver;
    const FleetTime failed = c.fail(driver);
    SimulatedAgent& agent = driver.agent();
    EXPECT_EQ(agent.CurrentPhase(), SimulatedAgent::Phase::Waiting);
    EXPECT_FALSE(agent.WantsSocket());
    EXPECT_TRUE(agent.ReadSpace().empty());
    EXPECT_EQ(driver.statistics().helloRefused, c.refused);
    EXPECT_EQ(driver.statistics().connectFailures, c.failures);
    EXPECT_EQ(driver.statistics().connected, 0u);
    EXPECT_EQ(agent.NextTurnDue(failed), failed + 5s);
    agent.Turn(failed + 5s - 1us);
    EXPECT_FALSE(agent.WantsConnect());
    agent.Turn(failed + 5s);
    EXPECT_TRUE(agent.WantsConnect());
  }
}

TEST(SimulatedAgentTest, AnEstablishedConnectionThatBreaksIsFollowedByANewAttemptAtOnce) {
  Bytes badHeader = Message(kStatusRequest);
  badHeader[6] ^= 0x80;
  struct Case {
    const char* what;
    void (*breakIt)(AgentDriver&, const Bytes&);
  };
  const std::vector<Case> cases = {
      {"closed by the server", [](AgentDriver& d, const Bytes&) { d.agent().ConnectionLost(5s); }},
      {"a header with a wrong checksum",
       [](AgentDriver& d, const Bytes& bad) { EXPECT_EQ(d.Feed(bad, 5s), kHeaderSize); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AgentDriver driver;
    driver.Connect(0s);
    const uint64_t connection = driver.agent().ConnectionNumber();
    c.breakIt(driver, badHeader);
    EXPECT_TRUE(driver.agent().WantsConnect());
    EXPECT_EQ(driver.statistics().reconnects, 1u);
    EXPECT_EQ(driver.statistics().connected, 0u);
    driver.agent().ConnectStarted(0, 5s);
    EXPECT_NE(driver.agent().ConnectionNumber(), connection);
    EXPECT_EQ(driver.statistics().connectAttempts, 2u);
  }
}

// ---- Turns -------------------------------------------------------------------

TEST(SimulatedAgentTest, OneServerMessageIsReadAndHandledPerTurn) {
  AgentDriver driver;
  driver.Connect(0s);
  EXPECT_EQ(Types(driver.TurnAt(0s)), std::vector<uint16_t>{kKeepAlive});  // the first turn

  const Bytes three = Join({Message(kStatusRequest), Message(kPolicyDigestRequest), Message(kReportNoticeRequest)});
  std::size_t fed = driver.Feed(three, 50ms);
  EXPECT_EQ(fed, kHeaderSize);  // the rest waits until this one had its turn
  EXPECT_LE(driver.agent().NextTurnDue(50ms), 50ms);
  EXPECT_EQ(Types(driver.TurnAt(100ms)), std::vector<uint16_t>{kStatusReply});
  fed += driver.Feed(Bytes(three.begin() + static_cast<std::ptrdiff_t>(fed), three.end()), 120ms);
  EXPECT_EQ(fed, 2 * kHeaderSize);
  EXPECT_EQ(Types(driver.TurnAt(200ms)), std::vector<uint16_t>{kPolicyDigestReply});
  fed += driver.Feed(Bytes(three.begin() + static_cast<std::ptrdiff_t>(fed), three.end()), 220ms);
  EXPECT_EQ(fed, three.size());
  EXPECT_EQ(Types(driver.TurnAt(300ms)), std::vector<uint16_t>{kReportNotice});
  EXPECT_TRUE(driver.TurnAt(400ms).empty());
}

TEST(SimulatedAgentTest, KeepAliveOnTheFirstTurnOfEachConnectionAndEvery120SecondsAfter) {
  AgentDriver driver;  // no rows: nothing else to send
  driver.Connect(0s);
  EXPECT_EQ(Types(driver.TurnAt(0s)), std::vector<uint16_t>{kKeepAlive});
  EXPECT_EQ(driver.agent().NextTurnDue(100ms), 120s);  // an idle agent is not visited before
  EXPECT_TRUE(driver.TurnAt(119'900ms).empty());
  EXPECT_EQ(Types(driver.TurnAt(120s)), std::vector<uint16_t>{kKeepAlive});
  EXPECT_EQ(driver.agent().NextTurnDue(120s), 240s);

  driver.agent().ConnectionLost(130s);
  driver.Connect(130s);
  EXPECT_EQ(Types(driver.TurnAt(130s)), std::vector<uint16_t>{kKeepAlive});
}

TEST(SimulatedAgentTest, ANoticeGoesOnlyAfterRowsWereAddedAndAtMostEvery10Seconds) {
  AgentDriver driver(OneAgent(ReportShape{5, 3s, 60s}));
  const ReportTable& table = driver.agent().Table();
  const FleetTime sixth = table.CreatedAt(6);
  ASSERT_LT(sixth, 3s);
  driver.Connect(0s);

  // The backlog is a change since the agent's start: the first turn tells it.
  auto sent = driver.TurnAt(0s);
  ASSERT_EQ(Types(sent), (std::vector<uint16_t>{kKeepAlive, kReportNotice}));
  EXPECT_EQ(GetU32(sent[1].body), static_cast<uint32_t>(table.CreatedBy(0s)));

  // Rows added since then wait for the 10 s to pass.
  EXPECT_EQ(driver.agent().NextTurnDue(100ms), 10s);
  EXPECT_TRUE(driver.TurnAt(9'900ms).empty());
  sent = driver.TurnAt(10s);
  ASSERT_EQ(Types(sent), std::vector<uint16_t>{kReportNotice});
  EXPECT_EQ(GetU32(sent[0].body), static_cast<uint32_t>(table.CreatedBy(10s)));

  // A requested notice is answered at once and leaves the timed one's
  // bookkeeping alone: the next timed notice is still due 10 s after the last.
  EXPECT_EQ(driver.Feed(Message(kReportNoticeRequest), 12s), kHeaderSize);
  sent = driver.TurnAt(12s);
  ASSERT_EQ(Types(sent), std::vector<uint16_t>{kReportNotice});
  EXPECT_EQ(GetU32(sent[0].body), static_cast<uint32_t>(table.CreatedBy(12s)));
  EXPECT_EQ(Types(driver.TurnAt(20s)), std::vector<uint16_t>{kReportNotice});
}

TEST(SimulatedAgentTest, NoTimedNoticeWithoutNewRowsNotEvenOnANewConnection) {
  AgentDriver driver(OneAgent(ReportShape{5, 0s, 0s}));
  driver.Connect(0s);
  EXPECT_EQ(Types(driver.TurnAt(0s)), (std::vector<uint16_t>{kKeepAlive, kReportNotice}));
  EXPECT_EQ(driver.agent().NextTurnDue(100ms), 120s);  // not at 10 s: nothing changed
  EXPECT_TRUE(driver.TurnAt(10s).empty());

  // The client keeps what its last timed notice saw across connections.
  driver.agent().ConnectionLost(30s);
  driver.Connect(30s);
  EXPECT_EQ(Types(driver.TurnAt(30s)), std::vector<uint16_t>{kKeepAlive});
}

// ---- Rows ------------------------------------------------------------------------

TEST(SimulatedAgentTest, RowsRequestIsAnsweredWithABlockCutBefore131072Bytes) {
  AgentDriver driver(OneAgent(ReportShape{2000, 0s, 0s}));
  driver.Connect(0s);
  driver.TurnAndSend(0s);  // the keep-alive and notice are checked elsewhere
  EXPECT_EQ(driver.Feed(RowsRequest(0), 1s), 15u);
  auto sent = driver.TurnAt(1100ms);
  ASSERT_EQ(Types(sent), std::vector<uint16_t>{kReportRowsReply});
  EXPECT_EQ(sent[0].length, 885u * 148);  // rows of 148 bytes: 885 fit
  auto rows = DecodeRowsBlock(sent[0].body.data(), sent[0].body.size());
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 885u);
  EXPECT_EQ(rows->front().id, 1);
  EXPECT_EQ(rows->back().id, 885);
  EXPECT_EQ(rows->front().vendor, u"Fleet");
  EXPECT_EQ(rows->front().product, u"Sim Disk");
  EXPECT_EQ(rows->front().serial, u"FLEET-00000-000001");
  EXPECT_EQ(rows->front().time, 1700000000);

  EXPECT_EQ(driver.Feed(RowsRequest(1990, 3), 2s), 15u);
  sent = driver.TurnAt(2s);
  rows = DecodeRowsBlock(sent.at(0).body.data(), sent.at(0).body.size());
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 3u);
  EXPECT_EQ(rows->back().id, 1993);
  EXPECT_EQ(rows->back().action, 1993 % 3);

  EXPECT_EQ(driver.Feed(RowsRequest(2000), 3s), 15u);
  sent = driver.TurnAt(3s);
  ASSERT_EQ(Types(sent), std::vector<uint16_t>{kReportRowsReply});
  EXPECT_EQ(sent[0].length, 0u);  // nothing after the newest row
}

TEST(SimulatedAgentTest, ARequestProvesRowsStoredRecordsTheirDelaysAndABackwardRequestIsARegression) {
  FleetPlan plan = OneAgent(ReportShape{100, 0s, 0s});
  plan.serverCount = 2;
  AgentDriver driver(plan);
  driver.Connect(0s, 0);
  driver.TurnAndSend(0s);  // keep-alive and notice

  EXPECT_EQ(driver.Feed(RowsRequest(0), 1s), 15u);
  EXPECT_EQ(driver.TurnAt(1s).at(0).length, 100u * 148);
  EXPECT_EQ(driver.statistics().rowsStored, 0u);  // sent, not yet proven

  // The next request says rows up to 100 are committed: their delay runs
  // from their creation (0 s) to the request's arrival (1.5 s), not its turn.
  EXPECT_EQ(driver.Feed(RowsRequest(100), 1500ms), 15u);
  EXPECT_EQ(driver.TurnAt(1600ms).at(0).length, 0u);
  EXPECT_EQ(driver.statistics().rowsStored, 100u);
  EXPECT_EQ(driver.agent().ProvenId(), 100);
  EXPECT_EQ(driver.statistics().delays.Samples(), 100u);
  EXPECT_EQ(driver.statistics().delays.Max(), 1500ms);
  EXPECT_EQ(driver.statistics().delays.Quantile(0.5), 1500ms);
  EXPECT_EQ(driver.statistics().cursorRegressions, 0u);
  EXPECT_TRUE(driver.log.lines.empty());

  // Asking again below what this server proved: it lost committed rows.
  EXPECT_EQ(driver.Feed(RowsRequest(40), 2s), 15u);
  EXPECT_EQ(driver.TurnAt(2s).at(0).length, 60u * 148);
  EXPECT_EQ(driver.statistics().cursorRegressions, 1u);
  EXPECT_EQ(driver.statistics().rowsResent, 60u);
  EXPECT_EQ(driver.statistics().rowsStored, 100u);
  ASSERT_EQ(driver.log.lines.size(), 1u);
  EXPECT_NE(driver.log.lines[0].find("CURSOR REGRESSION"), std::string::npos);
  EXPECT_NE(driver.log.lines[0].find(ClientIdHex(driver.agent().Id())), std::string::npos);

  // Another server keeps a store of its own: its first request is no
  // regression, its rows are not resent ones, and its proof adds nothing.
  driver.agent().ConnectionLost(3s);
  driver.Connect(3s, 1);
  driver.TurnAndSend(3s);  // keep-alive
  EXPECT_EQ(driver.Feed(RowsRequest(0), 3100ms), 15u);
  EXPECT_EQ(driver.TurnAt(3100ms).at(0).length, 100u * 148);
  EXPECT_EQ(driver.Feed(RowsRequest(100), 3200ms), 15u);
  driver.TurnAndSend(3200ms);  // an empty block
  EXPECT_EQ(driver.statistics().cursorRegressions, 1u);
  EXPECT_EQ(driver.statistics().rowsResent, 60u);
  EXPECT_EQ(driver.statistics().rowsStored, 100u);
  EXPECT_EQ(driver.statistics().delays.Samples(), 100u);
}

// Instances of one store (--shared-store): what one proved holds for the
// other, so the other asking below it means the store lost committed rows,
// and rows sent to one and then to the other are resent.
TEST(SimulatedAgentTest, InstancesOfOneStoreShareTheProofAndItsRegressions) {
  FleetPlan plan = OneAgent(ReportShape{100, 0s, 0s});
  plan.serverCount = 2;
  plan.sharedStore = true;
  AgentDriver driver(plan);
  driver.Connect(0s, 0);
  driver.TurnAndSend(0s);
  EXPECT_EQ(driver.Feed(RowsRequest(0), 1s), 15u);
  driver.TurnAndSend(1s);
  EXPECT_EQ(driver.Feed(RowsRequest(100), 1500ms), 15u);
  driver.TurnAndSend(1500ms);
  EXPECT_EQ(driver.statistics().rowsStored, 100u);

  // The other instance takes over from the stored cursor: no regression.
  driver.agent().ConnectionLost(2s);
  driver.Connect(2s, 1);
  driver.TurnAndSend(2s);
  EXPECT_EQ(driver.Feed(RowsRequest(100), 2100ms), 15u);
  driver.TurnAndSend(2100ms);
  EXPECT_EQ(driver.statistics().cursorRegressions, 0u);
  // Asked below it by the other instance: the shared store lost rows.
  EXPECT_EQ(driver.Feed(RowsRequest(60), 2200ms), 15u);
  EXPECT_EQ(driver.TurnAt(2200ms).at(0).length, 40u * 148);
  EXPECT_EQ(driver.statistics().cursorRegressions, 1u);
  EXPECT_EQ(driver.statistics().rowsResent, 40u);
  ASSERT_EQ(driver.log.lines.size(), 1u);
  EXPECT_NE(driver.log.lines[0].find("the store they share"), std::string::npos);
}

TEST(SimulatedAgentTest, NewRowsDelaysRunFromEachRowsOwnCreation) {
  AgentDriver driver(OneAgent(ReportShape{0, 1s, 10s}));
  const ReportTable& table = driver.agent().Table();
  driver.Connect(0s);
  EXPECT_EQ(driver.Feed(RowsRequest(3), 20s), 15u);  // proves rows 1..3
  driver.TurnAndSend(20s);
  EXPECT_EQ(driver.statistics().rowsStored, 3u);
  EXPECT_EQ(driver.statistics().delays.Max(), 20s - table.CreatedAt(1));

  // A proof cannot run ahead of the rows that existed when it came: a store
  // kept from an earlier run may ask after an id this table never reached.
  EXPECT_EQ(driver.Feed(RowsRequest(500), 21s), 15u);
  driver.TurnAndSend(21s);
  EXPECT_EQ(driver.agent().ProvenId(), 10);
  EXPECT_EQ(driver.statistics().rowsStored, 10u);
}

// ---- Policy ----------------------------------------------------------------------

TEST(SimulatedAgentTest, APolicySetChangesTheHeldPolicyAndSoTheDigestAnswered) {
  AgentDriver driver;
  driver.Connect(0s);
  driver.TurnAndSend(0s);  // keep-alive
  EXPECT_EQ(driver.Feed(Message(kPolicyDigestRequest), 100ms), kHeaderSize);
  auto sent = driver.TurnAt(100ms);
  EXPECT_EQ(GetU32(sent.at(0).body), 0xBE9BB610u);

  ParentPolicy wanted = driver.agent().HeldParentPolicy();
  wanted.ruleUsb__Parent = "block vendor Acme";
  wanted.lockCdDvd__Parent = 0;
  wanted.password__Parent = "secret";
  wanted.password__Lock = 1;
  const Bytes body = EncodePolicyList(PolicySetEntries(wanted));
  // What the server expects the agent to hold from exactly these bytes.
  const uint32_t expected =
      ParentPolicyDigest(ApplyPolicyEntries(DecodePolicyList(body.data(), body.size()).entries, ParentPolicy{}));
  ASSERT_NE(expected, 0xBE9BB610u);

  // An incomplete list (the count claims one entry more) changes nothing.
  Bytes incomplete = body;
  incomplete[0] = static_cast<uint8_t>(incomplete[0] + 1);
  EXPECT_EQ(driver.Feed(Message(kPolicySet, incomplete, static_cast<uint32_t>(incomplete.size())), 200ms),
            kHeaderSize + incomplete.size());
  EXPECT_TRUE(driver.TurnAt(200ms).empty());  // a policySet is not answered
  EXPECT_EQ(driver.agent().HeldDigest(), 0xBE9BB610u);

  EXPECT_EQ(driver.Feed(Message(kPolicySet, body, static_cast<uint32_t>(body.size())), 300ms),
            kHeaderSize + body.size());
  EXPECT_TRUE(driver.TurnAt(300ms).empty());
  EXPECT_EQ(driver.agent().HeldDigest(), expected);
  EXPECT_EQ(driver.agent().HeldParentPolicy(), wanted);
  EXPECT_EQ(driver.Feed(Message(kPolicyDigestRequest), 400ms), kHeaderSize);
  sent = driver.TurnAt(400ms);
  ASSERT_EQ(Types(sent), std::vector<uint16_t>{kPolicyDigestReply});
  EXPECT_EQ(GetU32(sent[0].body), expected);

  // The status follows the parent's drive locks the agent now holds.
  EXPECT_EQ(driver.Feed(Message(kStatusRequest), 500ms), kHeaderSize);
  sent = driver.TurnAt(500ms);
  const auto status = DecodeStatusRecord(sent.at(0).body.data(), sent.at(0).body.size());
  ASSERT_TRUE(status.has_value());
  EXPECT_FALSE(status->lockCdDvd);
  EXPECT_EQ(status->lockFloppy, wanted.lockFloppy__Parent != 0);
}

TEST(SimulatedAgentTest, APolicySetAbove1MiBEndsTheConnectionUnreadAndOneOf1MiBIsRead) {
  {
    AgentDriver driver;
    driver.Connect(0s);
    driver.TurnAndSend(0s);
    const Bytes oversized = Join({Message(kPolicySet, {}, kMaxPolicySetBody + 1), Bytes(64, 0)});
    EXPECT_EQ(driver.Feed(oversized, 100ms), kHeaderSize);  // no byte of the body is taken
    EXPECT_TRUE(driver.TurnAt(100ms).empty());
    EXPECT_FALSE(driver.agent().WantsSocket());
    EXPECT_EQ(driver.statistics().reconnects, 1u);
    EXPECT_EQ(driver.agent().NextTurnDue(100ms), 200ms);  // the next attempt after the turn's sleep
    driver.agent().Turn(200ms);
    EXPECT_TRUE(driver.agent().WantsConnect());
  }
  {
    AgentDriver driver;
    driver.Connect(0s);
    driver.TurnAndSend(0s);
    Bytes body(kMaxPolicySetBody, 0);  // a list of no entries and padding
    EXPECT_EQ(driver.Feed(Message(kPolicySet, {}, kMaxPolicySetBody), 100ms), kHeaderSize);
    driver.FeedInPieces(body, 150ms);
    EXPECT_TRUE(driver.agent().ReadSpace().empty());
    EXPECT_TRUE(driver.TurnAt(200ms).empty());
    EXPECT_TRUE(driver.agent().WantsSocket());
    EXPECT_EQ(driver.agent().HeldDigest(), 0xBE9BB610u);
  }
}

// ---- Updates ---------------------------------------------------------------------

TEST(SimulatedAgentTest, AnUpdateCountsOnceWhenItsWholeFileArrivedAndNothingElseHappensMeanwhile) {
  AgentDriver driver;
  driver.Connect(0s);
  driver.TurnAndSend(0s);
  Bytes file(200'000);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  const auto size = static_cast<uint32_t>(file.size());
  EXPECT_EQ(driver.Feed(Message(kUpdatePush, {}, size), 1s), kHeaderSize);
  EXPECT_TRUE(driver.TurnAt(1100ms).empty());  // the file is read from here on
  EXPECT_EQ(driver.agent().ReadSpace().size(), kUpdateReadPiece);

  driver.FeedInPieces(Bytes(file.begin(), file.begin() + 100'000), 119s);
  EXPECT_TRUE(driver.TurnAt(121s).empty());  // inside the file: not even the keep-alive that is due
  EXPECT_EQ(driver.agent().Deliveries(), 0u);
  driver.FeedInPieces(Bytes(file.begin() + 100'000, file.end()), 122s);
  EXPECT_EQ(driver.agent().Deliveries(), 1u);
  EXPECT_EQ(driver.agent().UpdateBytes(), file.size());
  EXPECT_EQ(driver.agent().LastUpdateHash(), UpdateHash(kUpdateHashStart, file));
  EXPECT_EQ(driver.statistics().deliveries, 1u);
  EXPECT_EQ(driver.statistics().updateBytes, file.size());

  // What came after the file is the next message, not more of the file.
  EXPECT_EQ(driver.Feed(Message(kStatusRequest), 122s), kHeaderSize);
  EXPECT_EQ(Types(driver.TurnAt(122'100ms)), (std::vector<uint16_t>{kKeepAlive, kStatusReply}));
  EXPECT_EQ(driver.agent().Deliveries(), 1u);
}

// The server takes the status reply after a file as the sign it arrived: a
// connection that ends before that reply is out leaves a delivery the server
// cannot know of (it sends the file again), and it is counted as such.
TEST(SimulatedAgentTest, ADeliveryIsUnconfirmedUntilTheStatusReplyAfterItIsOut) {
  for (const bool replied : {true, false}) {
    SCOPED_TRACE(replied ? "replied" : "lost before the reply");
    AgentDriver driver;
    driver.Connect(0s);
    driver.TurnAndSend(0s);
    EXPECT_EQ(driver.Feed(Message(kUpdatePush, {}, 1000), 1s), kHeaderSize);
    driver.TurnAndSend(1s);
    driver.FeedInPieces(Bytes(1000, 9), 1s);
    EXPECT_EQ(driver.Feed(Message(kStatusRequest), 1s), kHeaderSize);
    if (replied) {
      EXPECT_EQ(Types(driver.TurnAt(1100ms)), std::vector<uint16_t>{kStatusReply});
    }
    driver.agent().ConnectionLost(2s);
    EXPECT_EQ(driver.agent().Deliveries(), 1u);
    EXPECT_EQ(driver.agent().UnconfirmedDeliveries(), replied ? 0u : 1u);
    EXPECT_EQ(driver.statistics().unconfirmedDeliveries, replied ? 0u : 1u);
  }
}

TEST(SimulatedAgentTest, AnUpdateCutShortOrStalledIsNoDelivery) {
  {
    AgentDriver driver;
    driver.Connect(0s);
    driver.TurnAndSend(0s);
    EXPECT_EQ(driver.Feed(Message(kUpdatePush, {}, 1000), 1s), kHeaderSize);
    driver.TurnAndSend(1s);
    driver.FeedInPieces(Bytes(999, 1), 1s);
    driver.agent().ConnectionLost(2s);
    EXPECT_EQ(driver.agent().Deliveries(), 0u);
    driver.Connect(2s);
    EXPECT_EQ(driver.agent().ReadSpace().size(), kHeaderSize);  // a new connection starts with a header
  }
  {
    AgentDriver driver;
    driver.Connect(0s);
    driver.TurnAndSend(0s);
    EXPECT_EQ(driver.Feed(Message(kUpdatePush, {}, 1000), 1s), kHeaderSize);
    driver.TurnAndSend(1s);
    driver.FeedInPieces(Bytes(10, 1), 2s);
    EXPECT_EQ(driver.agent().NextTurnDue(2s), 32s);
    driver.agent().Turn(32s);
    EXPECT_FALSE(driver.agent().WantsSocket());
    EXPECT_EQ(driver.agent().Deliveries(), 0u);
  }
}

// ---- Everything else -------------------------------------------------------------

TEST(SimulatedAgentTest, OtherTypesAreSkippedAfterTheirHeader) {
  for (const uint16_t type : {uint16_t{4242}, uint16_t{kReportNotice}, uint16_t{kHelloReply}}) {
    SCOPED_TRACE(type);
    AgentDriver driver;
    driver.Connect(0s);
    driver.TurnAndSend(0s);
    // Its length is not read: the next bytes are the next header.
    const Bytes both = Join({Message(type, {}, 10), Message(kStatusRequest)});
    EXPECT_EQ(driver.Feed(both, 50ms), kHeaderSize);
    EXPECT_TRUE(driver.TurnAt(100ms).empty());
    EXPECT_EQ(driver.Feed(Bytes(both.begin() + kHeaderSize, both.end()), 150ms), kHeaderSize);
    EXPECT_EQ(Types(driver.TurnAt(200ms)), std::vector<uint16_t>{kStatusReply});
    EXPECT_TRUE(driver.agent().WantsSocket());
  }
}

TEST(SimulatedAgentTest, TheStatusNamesTheComputerAndTheSecondsSinceTheAgentStarted) {
  FleetPlan plan = OneAgent();
  plan.agents = 2;
  plan.firstAgent = 41;
  plan.ramp = 10s;  // the second agent, index 42, starts at 5 s
  RecordingLog log;
  Fleet fleet(plan, log);
  SimulatedAgent& agent = fleet.Agent(1);
  agent.Turn(5s);
  agent.ConnectStarted(0, 5s);
  agent.Connected(5s);
  agent.Sent(agent.Output().size(), 5s);
  const Bytes replyAndRequest = Join({Message(kHelloReply), {1}, Message(kStatusRequest)});
  std::size_t fed = 0;
  while (fed < replyAndRequest.size() && !agent.ReadSpace().empty()) {
    agent.ReadSpace()[0] = replyAndRequest[fed++];
    agent.Received(1, 80s);
  }
  ASSERT_EQ(fed, replyAndRequest.size());
  agent.Turn(80'500ms);
  const std::span<const uint8_t> output = agent.Output();
  // A keep-alive (7 bytes), then the status reply's header and record.
  ASSERT_EQ(output.size(), kHeaderSize + kHeaderSize + kStatusRecordSize);
  const auto header = DecodeHeader(output.data() + kHeaderSize);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->type, kStatusReply);
  EXPECT_EQ(header->length, 0u);
  const auto status = DecodeStatusRecord(output.data() + 2 * kHeaderSize, kStatusRecordSize);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->computerName, u"FLEET-00042");
  EXPECT_EQ(status->uptimeSeconds, 75u);
  EXPECT_EQ(status->windowsVersion, 0x1DB10106u);
  // The default policy locks CD/DVD and floppy drives through its parent values.
  EXPECT_TRUE(status->lockCdDvd);
  EXPECT_TRUE(status->lockFloppy);
}

TEST(SimulatedAgentTest, BoundsEndTheConnection) {
  struct Case {
    const char* what;
    void (*stall)(AgentDriver&);  // from 1 s on
    FleetTime endsAt;
    FleetTime retryAfter;
  };
  const std::vector<Case> cases = {
      {"a send without progress", [](AgentDriver& d) { d.agent().Turn(1s); },  // the keep-alive is never taken
       31s, 0s},
      {"a header that stops half-way",
       [](AgentDriver& d) {
         d.TurnAndSend(1s);
         EXPECT_EQ(d.Feed(Bytes(3, 0), 1s), 3u);
       },
       31s, 100ms},
      {"a body that stops half-way",
       [](AgentDriver& d) {
         d.TurnAndSend(1s);
         const Bytes request = RowsRequest(0);
         EXPECT_EQ(d.Feed(Bytes(request.begin(), request.begin() + 10), 1s), 10u);
       },
       31s, 100ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AgentDriver driver;
    driver.Connect(1s);
    c.stall(driver);
    EXPECT_EQ(driver.agent().NextTurnDue(2s), c.endsAt);
    driver.agent().Turn(c.endsAt - 1us);
    EXPECT_TRUE(driver.agent().WantsSocket());
    driver.agent().Turn(c.endsAt);
    EXPECT_FALSE(driver.agent().WantsSocket());
    EXPECT_EQ(driver.statistics().reconnects, 1u);
    EXPECT_EQ(driver.agent().WantsConnect(), c.retryAfter == 0s);
    EXPECT_EQ(driver.agent().NextTurnDue(c.endsAt), c.retryAfter == 0s ? kNever : c.endsAt + c.retryAfter);
  }
}

TEST(SimulatedAgentTest, ChurnDropsAConnectionAtARandomTimeAndReconnectsAtOnce) {
  FleetPlan plan = OneAgent();
  plan.reconnectMean = 10s;
  AgentDriver driver(plan);
  driver.Connect(0s);
  driver.TurnAndSend(0s);
  const FleetTime drop = driver.agent().NextTurnDue(0s);
  ASSERT_LT(drop, 120s);  // this seed's draw comes before the next keep-alive
  ASSERT_GT(drop, 0s);
  driver.agent().Turn(drop - 1us);
  EXPECT_TRUE(driver.agent().WantsSocket());
  driver.agent().Turn(drop);
  EXPECT_TRUE(driver.agent().WantsConnect());
  EXPECT_EQ(driver.statistics().reconnects, 1u);
}

TEST(SimulatedAgentTest, AChurnDropNeverStrandsAPageWithoutItsProof) {
  FleetPlan plan = OneAgent(ReportShape{100, 0s, 0s});
  plan.reconnectMean = 30s;
  AgentDriver driver(plan);
  driver.Connect(0s);
  driver.TurnAndSend(0s);  // keep-alive and notice
  const FleetTime drop = driver.agent().NextTurnDue(0s);
  ASSERT_GT(drop, 2s);  // this seed's draw leaves room for a page before it
  ASSERT_LT(drop, 120s);

  // A page goes out before the drop is due; the drop then waits for its proof.
  EXPECT_EQ(driver.Feed(RowsRequest(0), 1s), 15u);
  EXPECT_EQ(driver.TurnAt(1s).at(0).length, 100u * 148);
  EXPECT_EQ(driver.agent().NextTurnDue(drop), 120s);  // the keep-alive, not the drop
  EXPECT_TRUE(driver.TurnAt(drop).empty());
  EXPECT_TRUE(driver.agent().WantsSocket());

  // The request after the page proves it; it is left unanswered and the
  // connection dropped, a new attempt made at once.
  EXPECT_EQ(driver.Feed(RowsRequest(100), drop + 1s), 15u);
  EXPECT_TRUE(driver.TurnAt(drop + 1s).empty());
  EXPECT_EQ(driver.statistics().rowsStored, 100u);
  EXPECT_EQ(driver.agent().ProvenId(), 100);
  EXPECT_TRUE(driver.agent().WantsConnect());
  EXPECT_EQ(driver.statistics().reconnects, 1u);
}

}  // namespace
}  // namespace vx::fleet
