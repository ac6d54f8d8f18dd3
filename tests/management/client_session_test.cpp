// The management client's whole session against a scripted server on
// loopback, with a fake clock in lockstep: keep-alives, report notices,
// reconnects, the dispatch and its bounds, the status, policy, rows and
// update exchanges end to end.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "management/connection_state.h"
#include "management/policy_exchange.h"
#include "management/protocol/message_catalogue.h"
#include "management/protocol/parent_policy.h"
#include "management/protocol/policy_list.h"
#include "management/protocol/rows_block.h"
#include "management/protocol/status_record.h"
#include "management/session_loop.h"
#include "tests/management/protocol_test_bytes.h"
#include "tests/management/support/client_fixture.h"
#include "tests/management/support/scripted_peer.h"

namespace vx::management {
namespace {

using test::Bytes;
using test::PeerLink;
using test::PeerMessage;
using test::ScriptedPeer;

constexpr int64_t kStartMs = 1700000000LL * 1000;

int64_t Second(int64_t ms) { return ms / 1000; }

uint32_t U32(const std::vector<uint8_t>& bytes, std::size_t offset = 0) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

std::vector<uint8_t> Header(uint16_t type, uint32_t length = 0) {
  const auto header = EncodeHeader(MessageHeader{type, length});
  return std::vector<uint8_t>(header.begin(), header.end());
}

class SessionTest : public testing::Test, public test::ClientFixture {
 protected:
  SessionTest() : peer(clock, serviceRunning) {}

  // Runs the client's thread until the peer stops it; returns its result.
  int Run(ClientContext context) {
    peer.Start();
    int result = 99;
    std::thread client([&] { result = ManagementClientThread(context); });
    client.join();
    peer.Stop();
    EXPECT_FALSE(peer.WatchdogFired()) << "the client was stopped by the watchdog";
    return result;
  }
  int Run() { return Run(Context(peer.Port())); }

  // The first keep-alive of connection `index`, as a reaction's trigger.
  static bool FirstKeepAlive(const PeerMessage& message, int index, int& seen) {
    return message.header.type == kKeepAlive && message.connection == index && seen++ == 0;
  }

  std::vector<PeerMessage> Of(uint16_t type, int connection = -1) {
    std::vector<PeerMessage> found;
    for (auto& m : peer.MessagesOfType(type))
      if (connection < 0 || m.connection == connection) found.push_back(m);
    return found;
  }

  ScriptedPeer peer;
};

TEST_F(SessionTest, AKeepAliveRightAfterTheHelloAndEvery120SecondsFromASilentServer) {
  peer.onMessage = ScriptedPeer::AcceptHello;
  peer.stopClientAtMs = kStartMs + 250000;
  EXPECT_EQ(Run(), 0);

  const auto hellos = Of(kHello);
  ASSERT_EQ(hellos.size(), 1u);
  EXPECT_TRUE(hellos[0].checksumOk);
  EXPECT_EQ(hellos[0].header.length, 0u);
  EXPECT_EQ(hellos[0].body, std::vector<uint8_t>(test::kTestClientId.begin(), test::kTestClientId.end()));

  const auto keepAlives = Of(kKeepAlive);
  ASSERT_EQ(keepAlives.size(), 3u);
  EXPECT_LT(keepAlives[0].atMs - hellos[0].atMs, 100);  // the first turn
  EXPECT_EQ(Second(keepAlives[1].atMs), Second(keepAlives[0].atMs) + 120);
  EXPECT_EQ(Second(keepAlives[2].atMs), Second(keepAlives[0].atMs) + 240);
  for (const auto& m : peer.Messages()) EXPECT_TRUE(m.checksumOk);
  // Nothing else was sent, and the one connection stayed open.
  EXPECT_EQ(peer.Messages().size(), 4u);
  const auto connections = peer.Connections();
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_TRUE(connections[0].closedAtMs < 0 || connections[0].closedAtMs >= kStartMs + 250000);
}

TEST_F(SessionTest, TimedNoticesOnlyWhenTheCountChangedAndAtMostEveryTenSeconds) {
  StoreRows(3);
  int step = 0;
  peer.onMessage = ScriptedPeer::AcceptHello;
  peer.onStep = [&](PeerLink& link) {
    const int64_t elapsed = link.NowMs() - kStartMs;
    // Changes at 30 s, then twice within ten seconds of the notice it causes.
    if (step == 0 && elapsed >= 30000) reportsStored = ++step;
    if (step == 1 && elapsed >= 35000) reportsStored = ++step;
    if (step == 2 && elapsed >= 37000) reportsStored = ++step;
  };
  peer.stopClientAtMs = kStartMs + 100000;
  Run();

  const auto notices = Of(kReportNotice);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(Second(notices[0].atMs), Second(kStartMs) + 30);
  EXPECT_EQ(Second(notices[1].atMs), Second(notices[0].atMs) + 10);
  for (const auto& notice : notices) {
    EXPECT_EQ(notice.body, (std::vector<uint8_t>{3, 0, 0, 0}));
    EXPECT_TRUE(notice.checksumOk);
  }
}

TEST_F(SessionTest, AWrongChecksumEndsTheConnectionAndTheNextAttemptFollowsAtOnce) {
  reportsStored = 5;  // changed before the first connection: one notice then, none after the reconnect
  int seen = 0;
  int64_t sentAt = 0;
  peer.onMessage = [&](PeerLink& link, const PeerMessage& m) {
    ScriptedPeer::AcceptHello(link, m);
    if (FirstKeepAlive(m, 0, seen)) {
      auto bad = Header(kStatusRequest);
      bad[6] = static_cast<uint8_t>(bad[6] + 1);
      link.Send(bad);
      sentAt = link.NowMs();
    }
    if (m.header.type == kKeepAlive && m.connection == 1) link.StopClient();
  };
  Run();
  const auto connections = peer.Connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_GE(connections[0].closedAtMs, sentAt);
  EXPECT_LT(connections[1].acceptedAtMs - sentAt, 1000);  // no 5-second wait
  EXPECT_TRUE(Of(kStatusReply).empty());
  EXPECT_EQ(Of(kReportNotice, 0).size(), 1u);
  EXPECT_TRUE(Of(kReportNotice, 1).empty());
}

// Replies to the hello that refuse the connection (then 5 s until the next
// attempt) or accept it.
TEST_F(SessionTest, TheHelloReply) {
  struct Case {
    const char* name;
    std::vector<uint8_t> reply;
    bool close;
    bool accepted;
  };
  std::vector<uint8_t> statusZero = Header(kHelloReply);
  statusZero.push_back(0);
  std::vector<uint8_t> withLength = Header(kHelloReply, 9);
  withLength.push_back(1);
  std::vector<uint8_t> wrongType = Header(kKeepAlive);
  wrongType.push_back(1);
  std::vector<uint8_t> badChecksum = Header(kHelloReply);
  badChecksum[6] ^= 0x01;
  badChecksum.push_back(1);
  const std::vector<Case> cases = {
      {"status byte 0", statusZero, false, false},
      {"cut after 3 bytes", {0x04, 0x00, 0x00}, true, false},
      {"type 1 instead of 4", wrongType, false, false},
      {"checksum off by one", badChecksum, false, false},
      {"status byte missing", Header(kHelloReply), true, false},
      {"a length field of 9 and status 1", withLength, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ClientFixture fixture;
    ScriptedPeer scripted(fixture.clock, fixture.serviceRunning);
    scripted.onMessage = [&](PeerLink& link, const PeerMessage& m) {
      if (m.header.type == kHello && m.connection == 0) {
        link.Send(c.reply);
        if (c.close) link.Close();
      } else {
        ScriptedPeer::AcceptHello(link, m);
      }
      if (m.header.type == kKeepAlive) link.StopClient();
    };
    scripted.Start();
    auto context = fixture.Context(scripted.Port());
    const int result = ManagementClientThread(context);
    scripted.Stop();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(scripted.WatchdogFired());
    const auto connections = scripted.Connections();
    const auto keepAlives = scripted.MessagesOfType(kKeepAlive);
    ASSERT_EQ(keepAlives.size(), 1u);
    if (c.accepted) {
      EXPECT_EQ(connections.size(), 1u);
      EXPECT_EQ(keepAlives[0].connection, 0);
      continue;
    }
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(keepAlives[0].connection, 1);
    // Refused at once (the socket closed), then the 5-second wait.
    EXPECT_LT(connections[0].closedAtMs - connections[0].acceptedAtMs, 100);
    EXPECT_GE(connections[1].acceptedAtMs - connections[0].acceptedAtMs, 5000);
    EXPECT_LT(connections[1].acceptedAtMs - connections[0].acceptedAtMs, 5200);
  }
}

TEST_F(SessionTest, AServerThatNeverAnswersTheHelloIsLeftAfterThirtySeconds) {
  peer.onMessage = [&](PeerLink& link, const PeerMessage& m) {
    if (m.connection > 0) ScriptedPeer::AcceptHello(link, m);
    if (m.header.type == kKeepAlive) link.StopClient();
  };
  Run();
  const auto connections = peer.Connections();
  ASSERT_EQ(connections.size(), 2u);
  const int64_t held = connections[0].closedAtMs - connections[0].acceptedAtMs;
  EXPECT_GT(held, 30000);
  EXPECT_LT(held, 32000);
  EXPECT_GE(connections[1].acceptedAtMs - connections[0].closedAtMs, 5000);
}

TEST_F(SessionTest, AnUnknownTypeIsIgnoredAndItsBodyReadAsTheNextHeader) {
  int seen = 0;
  peer.onMessage = [&](PeerLink& link, const PeerMessage& m) {
    ScriptedPeer::AcceptHello(link, m);
    if (FirstKeepAlive(m, 0, seen)) {
      link.SendHeader(4242, 7);
      link.Send(Header(kStatusRequest));  // the "body" of 4242
    }
    if (m.header.type == kStatusReply) link.StopClient();
  };
  Run();
  EXPECT_EQ(peer.Connections().size(), 1u);
  const auto replies = Of(kStatusReply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].body.size(), kStatusRecordSize);
}

TEST_F(SessionTest, AStatusRequestsStrayLengthIsNotReadAndItsBytesStartTheNextHeader) {
  status.computerName = u"VX-SESSION";
  status.acLineStatus = 0;
  int seen = 0;
  const auto digestRequest = Header(kPolicyDigestRequest);
  peer.onMessage = [&](PeerLink& link, const PeerMessage& m) {
    ScriptedPeer::AcceptHello(link, m);
    if (FirstKeepAlive(m, 0, seen)) {
      link.SendHeader(kStatusRequest, 4);
      link.Send(std::span<const uint8_t>(digestRequest.data(), 4));  // the 4 "body" bytes
    }
    if (m.header.type == kStatusReply)
      link.Send(std::span<const uint8_t>(digestRequest.data() + 4, 3));  // the rest of that header
    if (m.header.type == kPolicyDigestReply) link.StopClient();
  };
  Run();
  EXPECT_EQ(peer.Connections().size(), 1u);
  const auto status = Of(kStatusReply);
  ASSERT_EQ(status.size(), 1u);
  const auto record = DecodeStatusRecord(status[0].body.data(), status[0].body.size());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->computerName, u"VX-SESSION");
  EXPECT_TRUE(record->onBattery);
  EXPECT_TRUE(record->lockCdDvd);
  EXPECT_TRUE(record->lockFloppy);
  const auto digest = Of(kPolicyDigestReply);
  ASSERT_EQ(digest.size(), 1u);
  EXPECT_EQ(U32(digest[0].body), 0xBE9BB610u);
  EXPECT_GT(digest[0].atMs, status[0].atMs);  // one message a turn
}

TEST_F(SessionTest, AShortPolicyBodyLeavesThePolicyAndItsFileUnchanged) {
  std::ifstream before(PolicyFile(), std::ios::binary);
  const std::vector<char> fileBefore((std::istreambuf_iterator<char>(before)), std::istreambuf_iterator<char>());
  const uint64_t generation = policy.Generation();
  ParentPolicy parent;  // every value differs from the default policy's
  parent.password__Parent = "x";
  const auto body = EncodePolicyList(PolicySetEntries(parent));
  int seen = 0;
  int64_t sentAt = 0;
  peer.onMessage = [&](PeerLink& link, const PeerMessage& m) {
    ScriptedPeer::AcceptHello(link, m);
    if (FirstKeepAlive(m, 0, seen)) {
      link.SendHeader(kPolicySet, static_cast<uint32_t>(body.size()));
      link.Send(std::span<const uint8_t>(body.data(), 60));
      link.Close();
      sentAt = link.NowMs();
    }
    if (m.header.type == kKeepAlive && m.connection == 1) link.SendHeader(kPolicyDigestRequest);
    if (m.header.type == kPolicyDigestReply) link.StopClient();
  };
  Run();
  EXPECT_EQ(policy.Generation(), generation);
  std::ifstream after(PolicyFile(), std::ios::binary);
  EXPECT_EQ(std::vector<char>((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), fileBefore);
  const auto digest = Of(kPolicyDigestReply, 1);
  ASSERT_EQ(digest.size(), 1u);
  EXPECT_EQ(U32(digest[0].body), 0xBE9BB610u);
  ASSERT_EQ(peer.Connections().size(), 2u);
  EXPECT_LT(peer.Connections()[1].acceptedAtMs - sentAt, 1000);  // a broken connection: no 5-second wait
}

TEST_F(SessionTest, APolicySetChangesTheDigestAndTheFileThatTheNextStartLoads) {
  ParentPolicy parent;
  parent.ruleUsb__Parent = std::string(528, '0');
  parent.ruleUsb__Parent[521] = '2';  // read-only for every disk
  parent.ruleUsb__Lock = 1;
  parent.lockCdDvd__Parent = 0;
  parent.lockFloppy__Parent = 1;
  parent.password__Parent = "from-server";
  const auto body = EncodePolicyList(PolicySetEntries(parent));
  int seen = 0;
  peer.onMessage = [&](PeerLink& link, const PeerMessage& m) {
    ScriptedPeer::AcceptHello(link, m);
    if (FirstKeepAlive(m, 0, seen)) {
      link.SendHeader(kPolicyDigestRequest);
      link.SendMessage(kPolicySet, static_cast<uint32_t>(body.size()), body);
      link.SendHeader(kPolicyDigestRequest);
    }
    if (m.header.type == kPolicyDigestReply && Of(kPolicyDigestReply).size() == 2) link.StopClient();
  };
  Run();
  const auto digests = Of(kPolicyDigestReply);
  ASSERT_EQ(digests.size(), 2u);
  EXPECT_EQ(U32(digests[0].body), 0xBE9BB610u);
  EXPECT_EQ(U32(digests[1].body), ParentPolicyDigest(parent));
  EXPECT_EQ(digests[1].atMs - digests[0].atMs, 200);  // three messages, three turns

  PolicyStore restarted(PolicyFile());
  restarted.LoadPolicy();
  EXPECT_EQ(restarted.Read([](const PolicyState& s) { return ParentPolicyOf(s); }), parent);
}

TEST_F(SessionTest, ARowsRequestWhoseSecondHalfNeverArrivesEndsTheConnectionAfterTheBudget) {
  StoreRows(3);
  int seen = 0;
  int64_t sentAt = 0;
  peer.onMessage = [&](PeerLink& link, const PeerMessage& m) {
    ScriptedPeer::AcceptHello(link, m);
    if (FirstKeepAlive(m, 0, seen)) {
      link.SendHeader(kReportRowsRequest);
      link.Send(Bytes().U32(0).Get());  // the after-id; the limit never comes
      sentAt = link.NowMs();
    }
    if (m.header.type == kKeepAlive && m.connection == 1) link.StopClient();
  };
  Run();
  EXPECT_TRUE(Of(kReportRowsReply).empty());
  const auto connections = peer.Connections();
  ASSERT_EQ(connections.size(), 2u);
  // The header waits for the next turn (100 ms), the request 1999 polls of
  // 1 ms, then the turn's sleep; the next connection follows at once.
  const int64_t held = connections[0].closedAtMs - sentAt;
  EXPECT_GE(held, 1999 + 100);
  EXPECT_LE(held, 1999 + 300);
  EXPECT_LT(connections[1].acceptedAtMs - connections[0].closedAtMs, 100);
}

TEST_F(SessionTest, EveryRowIsDrainedByPagingWithTheLastReceivedId) {
  StoreRows(700, std::string(99, 'v'), std::string(99, 'p'), std::string(99, 's'));
  std::vector<int32_t> received;
  int seen = 0;
  peer.onMessage = [&](PeerLink& link, const PeerMessage& m) {
    ScriptedPeer::AcceptHello(link, m);
    if (FirstKeepAlive(m, 0, seen)) link.SendHeader(kReportNoticeRequest);
    int32_t after = -1;
    if (m.header.type == kReportNotice) after = 0;
    if (m.header.type == kReportRowsReply) {
      const auto rows = DecodeRowsBlock(m.body.data(), m.body.size());
      ASSERT_TRUE(rows);
      for (const auto& row : *rows) received.push_back(row.id);
      if (rows->empty()) link.StopClient();
      after = received.empty() ? 0 : received.back();
    }
    if (after >= 0) link.SendMessage(kReportRowsRequest, 0, Bytes().U32(static_cast<uint32_t>(after)).U32(1000).Get());
  };
  Run();
  const auto notices = Of(kReportNotice);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(U32(notices[0].body), 700u);
  ASSERT_EQ(received.size(), 700u);
  for (int32_t i = 0; i < 700; ++i) EXPECT_EQ(received[i], i + 1);
  EXPECT_EQ(Of(kReportRowsReply).size(), 5u);  // 192, 192, 192, 124 rows, then an empty block
}

TEST_F(SessionTest, AnUpdateArrivesInChunksAndStartsACutOneStartsNothing) {
  std::vector<uint8_t> file(150000);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 31 + 7);
  int seen = 0;
  peer.onMessage = [&](PeerLink& link, const PeerMessage& m) {
    ScriptedPeer::AcceptHello(link, m);
    if (FirstKeepAlive(m, 0, seen)) {
      link.SendMessage(kUpdatePush, static_cast<uint32_t>(file.size()), file);
      // Then a second push that stops after 70,000 of 100,000 bytes.
      link.SendHeader(kUpdatePush, 100000);
      link.Send(std::span<const uint8_t>(file.data(), 70000));
      link.Close();
    }
    if (m.header.type == kKeepAlive && m.connection == 1) link.StopClient();
  };
  Run();
  EXPECT_EQ(installer.Writes(), (std::vector<std::size_t>{65536, 65536, 18928, 65536}));
  const auto starts = installer.Starts();
  ASSERT_EQ(starts.size(), 1u);  // the first push only
  EXPECT_EQ(starts[0].commandLine, L"\"" + installDir + L"VXUP.exe\"");
  EXPECT_EQ(starts[0].currentDirectory, installDir);
  // The cut push replaced the file and left its one whole chunk.
  std::ifstream in(dir / "VXUP.exe", std::ios::binary);
  const std::vector<uint8_t> onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(onDisk, std::vector<uint8_t>(file.begin(), file.begin() + 65536));
  EXPECT_EQ(peer.Connections().size(), 2u);
}

TEST_F(SessionTest, AWallClockSetBackDelaysTheKeepAliveAndTheTimedNotice) {
  StoreRows(1);
  int64_t setBackAt = -1;
  uint64_t sleepsAtSetBack = 0;
  peer.onMessage = ScriptedPeer::AcceptHello;
  peer.onStep = [&](PeerLink& link) {
    const int64_t elapsed = link.NowMs() - kStartMs;
    if (setBackAt < 0 && elapsed >= 20000 && reportsStored == 0) reportsStored = 1;
    if (setBackAt < 0 && elapsed >= 60000) {
      setBackAt = link.NowMs();
      sleepsAtSetBack = link.Clock().Sleeps();
      link.Clock().AdvanceMs(-3600 * 1000);
      reportsStored = 2;
    }
    if (setBackAt >= 0 && link.NowMs() >= kStartMs + 130000) link.StopClient();
  };
  Run();
  const auto keepAlives = Of(kKeepAlive);
  const auto notices = Of(kReportNotice);
  ASSERT_EQ(keepAlives.size(), 2u);
  ASSERT_EQ(notices.size(), 2u);
  // On the wall clock the second keep-alive and notice come when they would
  // have without the change; in elapsed time, an hour later.
  EXPECT_EQ(Second(keepAlives[1].atMs), Second(keepAlives[0].atMs) + 120);
  EXPECT_EQ(Second(notices[0].atMs), Second(kStartMs) + 20);
  EXPECT_EQ(Second(notices[1].atMs), Second(notices[0].atMs) + 10);
  EXPECT_GE(clock.Sleeps() - sleepsAtSetBack, 36000u);  // turns of 100 ms in the hour between
}

TEST_F(SessionTest, TheConnectionHookSeesEachConnectionBeginAndEnd) {
  ConnectionState state;
  std::vector<ConnectionEvent> events;
  auto context = Context(peer.Port());
  context.onConnection = [&](const ConnectionEvent& event) {
    events.push_back(event);
    state.Record(event, clock.WallSeconds());
  };
  peer.onMessage = [&](PeerLink& link, const PeerMessage& m) {
    ScriptedPeer::AcceptHello(link, m);
    if (m.header.type == kKeepAlive && m.connection == 0) link.Close();
    if (m.header.type == kKeepAlive && m.connection == 1) link.StopClient();
  };
  Run(context);
  ASSERT_EQ(events.size(), 4u);
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].established, i % 2 == 0);
    EXPECT_EQ(events[i].serverAddress, 0x7F000001u);
    EXPECT_EQ(events[i].serverPort, peer.Port());
  }
  EXPECT_FALSE(state.Snapshot().connected);
  EXPECT_EQ(state.Snapshot().connections, 2u);
}

}  // namespace
}  // namespace vx::management
