// The agent session driven directly, without sockets: bytes in, bytes out,
// a manual clock, a real SQLite store. What the loopback tests cannot make
// happen on cue: empty pages while rows were announced, notices of 0, an
// epoch change with a page in flight, pages without progress, the policy's
// three tries, the order of an update's bytes and its confirmation, and the
// time bounds.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "management/protocol/message_catalogue.h"
#include "management/protocol/parent_policy.h"
#include "management/protocol/policy_list.h"
#include "management/protocol/rows_block.h"
#include "management/protocol/status_record.h"
#include "server/agent_session.h"
#include "server/commands/policy_assignment.h"
#include "server/store/sqlite_store.h"
#include "tests/server/support/recording_log.h"
#include "tests/support/temp_dir.h"

namespace vx::server {
namespace {

using namespace vx::management;

const AgentId kAgent{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

class ManualClock final : public ServerClock {
 public:
  int64_t SteadyMs() override { return nowMs; }
  int64_t WallSeconds() override { return 1700000000 + nowMs / 1000; }
  int64_t nowMs = 1000;
};

class MapDirectory final : public AgentDirectory {
 public:
  bool Claim(const AgentId& agent, AgentSession& session, std::string& holder) override {
    const auto [at, inserted] = held.emplace(agent, &session);
    if (!inserted) holder = at->second->PeerAddress();
    return inserted;
  }
  void Release(const AgentId& agent, const AgentSession& session) override {
    if (held.count(agent) && held[agent] == &session) held.erase(agent);
  }
  std::map<AgentId, AgentSession*> held;
};

std::vector<uint8_t> Message(uint16_t type, std::vector<uint8_t> body = {}, uint32_t length = 0) {
  const auto header = EncodeHeader(MessageHeader{type, length});
  std::vector<uint8_t> bytes = std::move(body);
  bytes.insert(bytes.begin(), header.begin(), header.end());
  return bytes;
}

std::vector<uint8_t> U32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

std::vector<uint8_t> RowsBlock(int32_t first, int32_t last) {
  std::vector<uint8_t> block;
  for (int32_t id = first; id <= last; ++id)
    AppendEncodedRow(UploadedRow{id, 1700000000 + id, "Acme", "Stick", "SN" + std::to_string(id), 1}, block);
  return block;
}

std::vector<uint8_t> StatusReply() {
  StatusRecord record;
  record.computerName = u"PC";
  const auto bytes = EncodeStatusRecord(record);
  return Message(kStatusReply, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

struct Sent {
  MessageHeader header;
  std::vector<uint8_t> body;
};

class AgentSessionTest : public testing::Test {
 protected:
  AgentSessionTest() {
    auto opened = OpenSqliteStore(dir / "vxmgmtd.db");
    if (!opened) std::abort();
    store = std::move(opened).value();
    // The sessions claim their agents for an instance, as serve's do.
    const auto instance = store->RegisterInstance(InstanceInfo{"test", "127.0.0.1:13911", 1}, true, 1700000000);
    if (!instance) std::abort();
    settings.instanceId = *instance;
  }

  std::unique_ptr<AgentSession> NewSession(EnrollMode mode = EnrollMode::Open) {
    settings.enrollMode = mode;
    return std::make_unique<AgentSession>(*store, clock, log, directory, encodings, settings, "127.0.0.1:5000");
  }

  // Takes every byte the session wants to send, cut into messages by the
  // catalogue (server to client).
  std::vector<Sent> Take(AgentSession& session) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 10000 && !session.Output().empty(); ++i) {
      const auto out = session.Output();
      bytes.insert(bytes.end(), out.begin(), out.end());
      session.Sent(out.size());
    }
    std::vector<Sent> messages;
    std::size_t at = 0;
    while (bytes.size() - at >= kHeaderSize) {
      const auto header = DecodeHeader(bytes.data() + at);
      EXPECT_TRUE(header.has_value());
      const MessageKind* kind = header ? FindMessage(header->type) : nullptr;
      EXPECT_TRUE(kind && kind->direction == Direction::ServerToClient);
      if (!kind) break;
      const std::size_t body = kind->lengthField == LengthField::BodySize ? header->length : kind->fixedBodySize;
      EXPECT_GE(bytes.size() - at - kHeaderSize, body);
      messages.push_back(
          Sent{*header, std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at + 7),
                                             bytes.begin() + static_cast<std::ptrdiff_t>(at + 7 + body))});
      at += kHeaderSize + body;
    }
    EXPECT_EQ(at, bytes.size());
    return messages;
  }
  static std::vector<uint16_t> Types(const std::vector<Sent>& messages) {
    std::vector<uint16_t> types;
    for (const auto& m : messages) types.push_back(m.header.type);
    return types;
  }
  static const Sent* Find(const std::vector<Sent>& messages, uint16_t type) {
    for (const auto& m : messages)
      if (m.header.type == type) return &m;
    return nullptr;
  }

  // A session past an accepted hello, its first requests taken.
  std::unique_ptr<AgentSession> Accepted() {
    auto session = NewSession();
    session->Feed(Message(kHello, std::vector<uint8_t>(kAgent.begin(), kAgent.end())));
    const auto sent = Take(*session);
    EXPECT_EQ(Types(sent),
              (std::vector<uint16_t>{kHelloReply, kStatusRequest, kPolicyDigestRequest, kReportNoticeRequest}));
    EXPECT_EQ(sent[0].body, std::vector<uint8_t>{1});
    return session;
  }

  vx::test::TempDir dir;
  std::unique_ptr<Store> store;
  ManualClock clock;
  test::RecordingLog log;
  MapDirectory directory;
  AssignmentEncodings encodings;
  SessionSettings settings;
};

TEST_F(AgentSessionTest, PagesFollowTheLastIdReceivedAndEndAtAnEmptyPage) {
  auto session = Accepted();
  session->Feed(Message(kReportNotice, U32(12)));
  auto sent = Take(*session);
  ASSERT_EQ(Types(sent), (std::vector<uint16_t>{kReportRowsRequest}));
  EXPECT_EQ(sent[0].body, (std::vector<uint8_t>{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  // A page of rows 1..5 (cut short by the agent's block size): the next
  // after-id is 5, the last id received, whatever the limit was.
  const auto page = RowsBlock(1, 5);
  session->Feed(Message(kReportRowsReply, page, static_cast<uint32_t>(page.size())));
  sent = Take(*session);
  ASSERT_EQ(Types(sent), (std::vector<uint16_t>{kReportRowsRequest}));
  EXPECT_EQ(sent[0].body, (std::vector<uint8_t>{5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(*store->CountReports(kAgent), 5u);
  // An overlapping page (4..12): only 6..12 are new.
  const auto overlap = RowsBlock(4, 12);
  session->Feed(Message(kReportRowsReply, overlap, static_cast<uint32_t>(overlap.size())));
  sent = Take(*session);
  EXPECT_EQ(sent[0].body, (std::vector<uint8_t>{12, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(*store->CountReports(kAgent), 12u);
  session->Feed(Message(kReportRowsReply));
  EXPECT_TRUE(Take(*session).empty());
  EXPECT_EQ(store->GetReportCursor(kAgent)->lastId, 12);
  EXPECT_EQ(log.Matching({"backlog drained: 12 rows stored"}).size(), 1u);
  EXPECT_EQ(log.LevelOf("backlog drained: 12 rows stored"), LogLevel::Info);  // two pages: a backlog
  // A notice at what is stored asks for nothing.
  session->Feed(Message(kReportNotice, U32(12)));
  EXPECT_TRUE(Take(*session).empty());
  // A row made since, fetched in one page: no news at info level (a large
  // fleet makes thousands a minute).
  session->Feed(Message(kReportNotice, U32(13)));
  ASSERT_EQ(Types(Take(*session)), (std::vector<uint16_t>{kReportRowsRequest}));
  const auto one = RowsBlock(13, 13);
  session->Feed(Message(kReportRowsReply, one, static_cast<uint32_t>(one.size())));
  ASSERT_EQ(Types(Take(*session)), (std::vector<uint16_t>{kReportRowsRequest}));
  session->Feed(Message(kReportRowsReply));
  EXPECT_EQ(log.LevelOf("backlog drained: 1 rows stored"), LogLevel::Debug);
}

TEST_F(AgentSessionTest, AnEmptyPageWhileRowsWereAnnouncedIsAskedAgainAtMostThreeTimes) {
  auto session = Accepted();
  session->Feed(Message(kReportNotice, U32(40)));
  ASSERT_EQ(Types(Take(*session)), (std::vector<uint16_t>{kReportRowsRequest}));
  for (int retry = 1; retry <= 3; ++retry) {
    SCOPED_TRACE(retry);
    session->Feed(Message(kReportRowsReply));  // the agent's database was busy
    clock.nowMs += 9000;
    session->Tick();
    EXPECT_TRUE(Take(*session).empty());
    clock.nowMs += 1500;
    session->Tick();
    ASSERT_EQ(Types(Take(*session)), (std::vector<uint16_t>{kReportRowsRequest}));
  }
  session->Feed(Message(kReportRowsReply));
  clock.nowMs += 20000;
  session->Tick();
  EXPECT_TRUE(Find(Take(*session), kReportRowsRequest) == nullptr);
  // The next notice asks again at once.
  session->Feed(Message(kReportNotice, U32(40)));
  EXPECT_EQ(Types(Take(*session)), (std::vector<uint16_t>{kReportRowsRequest}));
  EXPECT_FALSE(session->Ended());
}

TEST_F(AgentSessionTest, EpochsChangeOnlyOnANoticeBelowTheCursorAndNeverMixAPageInFlight) {
  auto session = Accepted();
  session->Feed(Message(kReportNotice, U32(30)));
  (void)Take(*session);  // the rows request
  const auto page = RowsBlock(1, 30);
  session->Feed(Message(kReportRowsReply, page, static_cast<uint32_t>(page.size())));
  (void)Take(*session);
  session->Feed(Message(kReportRowsReply));
  // 0 is an empty or unreadable table: no epoch change, no request.
  session->Feed(Message(kReportNotice, U32(0)));
  EXPECT_TRUE(Take(*session).empty());
  EXPECT_EQ(*store->GetReportCursor(kAgent), (ReportCursor{1, 30}));

  // More rows announced, and while that page is in flight, a notice below
  // the cursor: the page is stored in epoch 1, then epoch 2 starts from 0.
  session->Feed(Message(kReportNotice, U32(35)));
  ASSERT_EQ(Types(Take(*session)), (std::vector<uint16_t>{kReportRowsRequest}));
  session->Feed(Message(kReportNotice, U32(3)));
  EXPECT_TRUE(Take(*session).empty());
  const auto late = RowsBlock(31, 35);
  session->Feed(Message(kReportRowsReply, late, static_cast<uint32_t>(late.size())));
  auto sent = Take(*session);
  ASSERT_EQ(Types(sent), (std::vector<uint16_t>{kReportRowsRequest}));
  EXPECT_EQ(sent[0].body, (std::vector<uint8_t>{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(*store->GetReportCursor(kAgent), (ReportCursor{2, 0}));
  const auto fresh = RowsBlock(1, 3);
  session->Feed(Message(kReportRowsReply, fresh, static_cast<uint32_t>(fresh.size())));
  (void)Take(*session);
  EXPECT_EQ(store->ListReports(ReportQuery{.agent = kAgent, .epoch = 1})->size(), 35u);
  EXPECT_EQ(store->ListReports(ReportQuery{.agent = kAgent, .epoch = 2})->size(), 3u);
}

TEST_F(AgentSessionTest, APageWithNoRowAfterTheOneAskedForEndsTheSession) {
  auto session = Accepted();
  session->Feed(Message(kReportNotice, U32(10)));
  (void)Take(*session);
  const auto page = RowsBlock(1, 10);
  session->Feed(Message(kReportRowsReply, page, static_cast<uint32_t>(page.size())));
  (void)Take(*session);
  session->Feed(Message(kReportRowsReply, page, static_cast<uint32_t>(page.size())));  // the same page again
  EXPECT_TRUE(session->Ended());
  EXPECT_EQ(session->EndReason(), "a rows block with no row after id 10");
  EXPECT_EQ(*store->CountReports(kAgent), 10u);
  EXPECT_FALSE(store->FindAgent(kAgent)->connected);
  EXPECT_TRUE(directory.held.empty());
}

ParentPolicy Assigned() {
  ParentPolicy policy;
  policy.ruleUsb__Parent = std::string(528, '0');
  policy.lockFloppy__Parent = 1;
  return policy;
}

TEST_F(AgentSessionTest, ADigestThatStaysWrongGetsThreeSetsThenTheAgentIsDrifted) {
  ASSERT_TRUE(store->RecordHello(kAgent, EnrollMode::Open, "x", 1).ok());
  ASSERT_TRUE(store->SetAgentPolicy(kAgent, Assigned(), 1).ok());
  const uint32_t expected = ParentPolicyDigest(Assigned());
  auto session = Accepted();
  for (int set = 1; set <= 3; ++set) {
    SCOPED_TRACE(set);
    session->Feed(Message(kPolicyDigestReply, U32(0x11111111)));
    const auto sent = Take(*session);
    ASSERT_EQ(Types(sent), (std::vector<uint16_t>{kPolicySet, kPolicyDigestRequest}));
    EXPECT_EQ(sent[0].header.length, sent[0].body.size());
    // The body stores the assignment, and so the expected digest.
    const auto entries = DecodePolicyList(sent[0].body.data(), sent[0].body.size());
    EXPECT_EQ(ApplyPolicyEntries(entries.entries, ParentPolicy{}), Assigned());
    EXPECT_EQ(store->FindAgent(kAgent)->policy.sync, PolicySync::Setting);
  }
  session->Feed(Message(kPolicyDigestReply, U32(0x11111111)));
  EXPECT_TRUE(Take(*session).empty());
  AgentPolicyState state = store->FindAgent(kAgent)->policy;
  EXPECT_EQ(state.sync, PolicySync::Drifted);
  EXPECT_EQ(state.heldDigest, 0x11111111u);
  EXPECT_EQ(state.expectedDigest, expected);
  EXPECT_EQ(state.tries, 3);

  // A new assignment gets its own three tries, and a matching digest ends them.
  ParentPolicy changed = Assigned();
  changed.lockCdDvd__Lock = 1;
  ASSERT_TRUE(store->SetAgentPolicy(kAgent, changed, 2).ok());
  session->StoreChanged(store->ReadSessionView().value());
  ASSERT_EQ(Types(Take(*session)), (std::vector<uint16_t>{kPolicyDigestRequest}));
  session->Feed(Message(kPolicyDigestReply, U32(0x11111111)));
  ASSERT_EQ(Types(Take(*session)), (std::vector<uint16_t>{kPolicySet, kPolicyDigestRequest}));
  session->Feed(Message(kPolicyDigestReply, U32(ParentPolicyDigest(changed))));
  EXPECT_TRUE(Take(*session).empty());
  state = store->FindAgent(kAgent)->policy;
  EXPECT_EQ(state.sync, PolicySync::InSync);
  EXPECT_EQ(state.tries, 0);
}

TEST_F(AgentSessionTest, WithoutAnAssignmentTheAgentsPolicyIsLeftAlone) {
  auto session = Accepted();
  session->Feed(Message(kPolicyDigestReply, U32(0xBE9BB610)));
  EXPECT_TRUE(Take(*session).empty());
  const AgentPolicyState state = store->FindAgent(kAgent)->policy;
  EXPECT_EQ(state.sync, PolicySync::Unmanaged);
  EXPECT_EQ(state.heldDigest, 0xBE9BB610u);
  EXPECT_FALSE(state.expectedDigest.has_value());
}

TEST_F(AgentSessionTest, AnUpdatesBytesAreNeverInterruptedAndOnlyTheStatusReplyAfterThemConfirmsIt) {
  ASSERT_TRUE(store->RecordHello(kAgent, EnrollMode::Open, "x", 1).ok());
  std::vector<uint8_t> file(200000);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i ^ (i >> 8));
  const auto ids = store->QueueUpdate(std::vector<AgentId>{kAgent}, "setup.exe", file, 1);
  ASSERT_TRUE(ids.ok());
  auto session = NewSession();
  session->Feed(Message(kHello, std::vector<uint8_t>(kAgent.begin(), kAgent.end())));
  // While the file is queued in part, a notice arrives and asks for rows:
  // that request waits behind the file.
  session->Feed(Message(kReportNotice, U32(3)));
  const auto sent = Take(*session);
  EXPECT_EQ(Types(sent), (std::vector<uint16_t>{kHelloReply, kStatusRequest, kPolicyDigestRequest, kReportNoticeRequest,
                                                kUpdatePush, kStatusRequest, kReportRowsRequest}));
  const Sent* push = Find(sent, kUpdatePush);
  ASSERT_NE(push, nullptr);
  EXPECT_EQ(push->header.length, file.size());
  EXPECT_EQ(push->body, file);
  // The first status reply answers the request from before the file.
  session->Feed(StatusReply());
  EXPECT_FALSE(store->ListUpdates(kAgent)->at(0).deliveredAt.has_value());
  session->Feed(StatusReply());
  EXPECT_TRUE(store->ListUpdates(kAgent)->at(0).deliveredAt.has_value());
  EXPECT_EQ(log.Matching({"update " + std::to_string(ids->at(0)), "(\"setup.exe\", 200000 bytes) delivered"}).size(),
            1u);
  EXPECT_TRUE(Take(*session).empty());  // nothing sent twice
}

TEST_F(AgentSessionTest, AnUpdateCancelledWhileItIsSentEndsTheSessionSoTheAgentDropsThePartialFile) {
  ASSERT_TRUE(store->RecordHello(kAgent, EnrollMode::Open, "x", 1).ok());
  const auto ids = store->QueueUpdate(std::vector<AgentId>{kAgent}, "big", std::vector<uint8_t>(300000, 7), 1);
  ASSERT_TRUE(ids.ok());
  auto session = NewSession();
  session->Feed(Message(kHello, std::vector<uint8_t>(kAgent.begin(), kAgent.end())));
  ASSERT_FALSE(session->Output().empty());
  ASSERT_TRUE(store->CancelUpdate(ids->at(0), 2).ok());
  for (int i = 0; i < 20 && !session->Ended(); ++i) session->Sent(session->Output().size());
  EXPECT_TRUE(session->Ended());
  EXPECT_NE(session->EndReason().find("could not be sent"), std::string::npos);
}

// Time bounds: each ends the session once its time has passed, and not
// before.
TEST_F(AgentSessionTest, TheTimeBounds) {
  struct Case {
    const char* name;
    std::function<void(AgentSession&)> setUp;
    int64_t quietMs;  // how long nothing happens
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"no hello", [](AgentSession&) {}, 30000, "no complete hello within 30.0 s"},
      {"a header cut short",
       [&](AgentSession& s) {
         s.Feed(Message(kHello, std::vector<uint8_t>(kAgent.begin(), kAgent.end())));
         (void)Take(s);
         s.Feed(std::vector<uint8_t>{0x01, 0x00});
       },
       30000, "a message stalled for 30.0 s"},
      {"requests not answered",
       [&](AgentSession& s) {
         s.Feed(Message(kHello, std::vector<uint8_t>(kAgent.begin(), kAgent.end())));
         (void)Take(s);
       },
       30000, "no reply within 30.0 s"},
      {"output not taken",
       [&](AgentSession& s) { s.Feed(Message(kHello, std::vector<uint8_t>(kAgent.begin(), kAgent.end()))); }, 30000,
       "it took nothing of what was sent for 30.0 s"},
      {"an agent silent after answering everything",
       [&](AgentSession& s) {
         s.Feed(Message(kHello, std::vector<uint8_t>(kAgent.begin(), kAgent.end())));
         (void)Take(s);
         s.Feed(StatusReply());
         s.Feed(Message(kPolicyDigestReply, U32(1)));
         s.Feed(Message(kReportNotice, U32(0)));
       },
       150000, "silent for 150.0 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto session = NewSession();
    c.setUp(*session);
    clock.nowMs += c.quietMs;
    session->Tick();
    EXPECT_FALSE(session->Ended()) << session->EndReason();
    clock.nowMs += 1;
    session->Tick();
    EXPECT_TRUE(session->Ended());
    EXPECT_EQ(session->EndReason(), c.reason);
    session.reset();
    directory.held.clear();
  }
}

TEST_F(AgentSessionTest, TheStatusIsAskedAgainEveryFiveMinutesAndStoredDecoded) {
  auto session = Accepted();
  StatusRecord record;
  record.uptimeSeconds = 86400;
  record.lockCdDvd = true;
  record.statusWord = 0xA5A5A5A5;
  record.computerName = std::u16string{u'P', u'C', 0x00E9, 0xD800};
  record.windowsVersion = 0x0A280105;
  const auto bytes = EncodeStatusRecord(record);
  session->Feed(Message(kStatusReply, std::vector<uint8_t>(bytes.begin(), bytes.end())));
  AgentStatus stored = *store->FindAgent(kAgent)->status;
  EXPECT_EQ(stored.uptimeSeconds, 86400u);
  EXPECT_TRUE(stored.lockCdDvd);
  EXPECT_FALSE(stored.lockFloppy);
  EXPECT_EQ(stored.statusWord, 0xA5A5A5A5u);
  EXPECT_EQ(stored.computerName, "PC\xC3\xA9\xED\xA0\x80");
  EXPECT_EQ(stored.windowsVersion, 0x0A280105u);
  session->Feed(Message(kPolicyDigestReply, U32(1)));
  session->Feed(Message(kReportNotice, U32(0)));
  // Keep-alives every 100 s, as an agent sends them every 120 s.
  for (int64_t elapsed = 100000; elapsed < 300000; elapsed += 100000) {
    clock.nowMs += 100000;
    session->Feed(Message(kKeepAlive));
    session->Tick();
    EXPECT_TRUE(Take(*session).empty());
  }
  clock.nowMs += 100000;
  session->Feed(Message(kKeepAlive));
  session->Tick();
  EXPECT_EQ(Types(Take(*session)), (std::vector<uint16_t>{kStatusRequest}));
  EXPECT_FALSE(session->Ended());
}

TEST_F(AgentSessionTest, PendingAndRevokedAgentsGetAHelloReplyOfZeroAndNothingElse) {
  ASSERT_TRUE(store->RecordHello(kAgent, EnrollMode::Open, "x", 1).ok());
  ASSERT_TRUE(store->SetEnrollment(kAgent, Enrollment::Revoked, 1).ok());
  AgentId newcomer = kAgent;
  newcomer[0] = 0x99;
  for (const auto& [id, mode, reason] : std::vector<std::tuple<AgentId, EnrollMode, std::string>>{
           {kAgent, EnrollMode::Open, "refused: revoked"},
           {newcomer, EnrollMode::Approve, "refused: pending approval"}}) {
    SCOPED_TRACE(reason);
    auto session = NewSession(mode);
    session->Feed(Message(kHello, std::vector<uint8_t>(id.begin(), id.end())));
    EXPECT_TRUE(session->Ended());
    EXPECT_TRUE(session->FlushBeforeClose());
    EXPECT_EQ(session->EndReason(), reason);
    const auto sent = Take(*session);
    ASSERT_EQ(Types(sent), (std::vector<uint16_t>{kHelloReply}));
    EXPECT_EQ(sent[0].body, std::vector<uint8_t>{0});
    EXPECT_TRUE(session->ReadSpace().empty());  // nothing more is read
    EXPECT_FALSE(store->FindAgent(id)->connected);
  }
}

// Sessions that follow one assignment share its encoding: a fleet on one
// fleet default holds one policySet body, and the digest it predicts is what
// an agent that stored those bytes reports (a fresh agent's 0xBE9BB610 for
// the product's default).
TEST(AssignmentEncodingsTest, EqualPoliciesShareOneEncodingWhileHeld) {
  AssignmentEncodings encodings;
  const ParentPolicy product = ProductDefaultParentPolicy();
  auto first = encodings.For(product);
  auto second = encodings.For(ParentPolicy(product));
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->expectedDigest, 0xBE9BB610u);
  EXPECT_TRUE(DecodePolicyList(first->policySetBody.data(), first->policySetBody.size()).complete);
  ParentPolicy other = product;
  other.lockFloppy__Lock = 1;
  const auto third = encodings.For(other);
  EXPECT_NE(third, first);
  EXPECT_NE(third->expectedDigest, first->expectedDigest);
  // Once nobody holds an encoding it goes; many distinct ones do not pile up.
  first.reset();
  second.reset();
  for (int i = 0; i < 1000; ++i) {
    ParentPolicy passing = product;
    passing.password__Parent = "p" + std::to_string(i);
    (void)encodings.For(passing);  // held by nobody, as by a session that ended at once
  }
  EXPECT_LT(encodings.Cached(), 130u);
}

}  // namespace
}  // namespace vx::server
