// The policy digest and the policySet handler, over a real loopback
// connection, against the real policy owner and its configdb.dat.
#include <gtest/gtest.h>

#include <cstring>

#include "management/policy_exchange.h"
#include "management/protocol/message_catalogue.h"
#include "management/protocol/parent_policy.h"
#include "management/protocol/policy_list.h"
#include "platform/file_io.h"
#include "tests/management/protocol_test_bytes.h"
#include "tests/management/support/client_fixture.h"
#include "tests/management/support/loopback_pair.h"

namespace vx::management {
namespace {

using test::Bytes;

class PolicyExchangeTest : public testing::Test, public test::ClientFixture {
 protected:
  Connection Link() { return Connection{sockets, clock, pair.ClientSocket()}; }

  // Sends `body` from the server and runs the handler on its header.
  Outcome ApplyBody(const std::vector<uint8_t>& body) {
    pair.ServerSend(body);
    return ApplyPolicySet(Link(), MessageHeader{kPolicySet, static_cast<uint32_t>(body.size())}, policy);
  }
  std::vector<uint8_t> PolicyFileBytes() {
    return platform::ReadFilePrefix(PolicyFile(), 1 << 20).value_or(std::vector<uint8_t>{});
  }
  ParentPolicy Parent() {
    return policy.Read([](const PolicyState& s) { return ParentPolicyOf(s); });
  }
  // The record as a restarted service would load it from configdb.dat.
  ParentPolicy ParentAfterRestart() {
    PolicyStore restarted(PolicyFile());
    restarted.LoadPolicy();
    return restarted.Read([](const PolicyState& s) { return ParentPolicyOf(s); });
  }

  test::LoopbackPair pair;
};

ParentPolicy ServerParent() {
  ParentPolicy parent;
  parent.ruleUsb__Parent = std::string(528, '0');
  parent.ruleUsb__Parent[521] = '1';  // one block-all rule
  parent.ruleUsb__Lock = 1;
  parent.lockCdDvd__Parent = 0;
  parent.lockCdDvd__Lock = 1;
  parent.password__Parent = "s3cret";
  parent.password__Lock = 1;
  parent.lockFloppy__Parent = 0;
  parent.lockFloppy__Lock = 0;
  return parent;
}

TEST_F(PolicyExchangeTest, TheDigestReplyOfTheDefaultPolicy) {
  ASSERT_EQ(AnswerPolicyDigest(Link(), policy), Outcome::KeepConnection);
  // Header 93 13 00 00 00 00 A6, then 0xBE9BB610 little-endian.
  EXPECT_EQ(pair.ServerReceive(1000), (std::vector<uint8_t>{0x93, 0x13, 0, 0, 0, 0, 0xA6, 0x10, 0xB6, 0x9B, 0xBE}));
}

TEST_F(PolicyExchangeTest, APolicySetIsAppliedSavedAndSurvivesARestart) {
  const uint64_t generation = policy.Generation();
  ASSERT_EQ(ApplyBody(EncodePolicyList(PolicySetEntries(ServerParent()))), Outcome::KeepConnection);
  EXPECT_EQ(Parent(), ServerParent());
  EXPECT_GT(policy.Generation(), generation);
  EXPECT_TRUE(policy.PolicyChanged());
  // Locked by the parent, so the effective values follow it at once.
  policy.Read([](const PolicyState& s) {
    EXPECT_EQ(s.lockCdDvd, 0);
    EXPECT_EQ(std::string(FieldText(s.password)), "s3cret");
    EXPECT_EQ(std::string(FieldText(s.ruleUsb)), std::string(FieldText(s.ruleUsb__Parent)));
  });
  EXPECT_EQ(ParentAfterRestart(), ServerParent());

  ASSERT_EQ(AnswerPolicyDigest(Link(), policy), Outcome::KeepConnection);
  const auto reply = pair.ServerReceive(1000);
  ASSERT_EQ(reply.size(), 11u);
  uint32_t digest = 0;
  std::memcpy(&digest, reply.data() + 7, 4);
  EXPECT_EQ(digest, ParentPolicyDigest(ServerParent()));
  EXPECT_NE(digest, 0xBE9BB610u);
}

TEST_F(PolicyExchangeTest, AnEmptyListStillAppliesAndSaves) {
  const uint64_t generation = policy.Generation();
  std::filesystem::remove(PolicyFile());
  ASSERT_EQ(ApplyBody(Bytes().U32(0)), Outcome::KeepConnection);
  EXPECT_GT(policy.Generation(), generation);
  EXPECT_TRUE(std::filesystem::exists(PolicyFile()));
  EXPECT_EQ(policy.Read([](const PolicyState& s) { return ParentPolicyDigest(ParentPolicyOf(s)); }), 0xBE9BB610u);
}

TEST_F(PolicyExchangeTest, ANewParentRuleTextLeavesALocalRuleListAlone) {
  // Not following the parent and not locked: only the parent text changes.
  policy.ChangeParentValues([](PolicyState& s) {
    s.ruleUsb__Inherit = 0;
    StoreFieldText(s.ruleUsb, "LOCAL");
  });
  ASSERT_EQ(ApplyBody(Bytes().U32(1).TextEntry("ruleUsb__Parent", u"PARENT")), Outcome::KeepConnection);
  policy.Read([](const PolicyState& s) {
    EXPECT_EQ(std::string(FieldText(s.ruleUsb__Parent)), "PARENT");
    EXPECT_EQ(std::string(FieldText(s.ruleUsb)), "LOCAL");
  });
}

// The server is the parent: it may set the parent values and lock flags and
// nothing else, whatever keys it sends.
TEST_F(PolicyExchangeTest, TheServerCannotSetEffectiveInheritOrStatusFields) {
  const auto before = policy.Read([](const PolicyState& s) {
    std::vector<uint8_t> bytes(sizeof s);
    std::memcpy(bytes.data(), &s, sizeof s);
    return bytes;
  });
  const std::vector<uint8_t> body = Bytes()
                                        .U32(9)
                                        .TextEntry("ruleUsb", u"00")
                                        .NumberEntry("ruleUsb__Inherit", 0)
                                        .NumberEntry("lockCdDvd", 0)
                                        .NumberEntry("lockCdDvd__Inherit", 0)
                                        .NumberEntry("lockFloppy", 0)
                                        .TextEntry("password", u"mine")
                                        .NumberEntry("password__Inherit", 0)
                                        .NumberEntry("statusWord", 7)
                                        .NumberEntry("LOCKCDDVD__PARENT", 0);  // keys are case-sensitive
  ASSERT_EQ(ApplyBody(body), Outcome::KeepConnection);
  const auto after = policy.Read([](const PolicyState& s) {
    std::vector<uint8_t> bytes(sizeof s);
    std::memcpy(bytes.data(), &s, sizeof s);
    return bytes;
  });
  EXPECT_TRUE(before == after) << "a field outside the parent side changed";
}

TEST_F(PolicyExchangeTest, ATextWithAUnitAboveFFKeepsItsField) {
  const std::vector<uint8_t> body =
      Bytes().U32(2).TextEntry("password__Parent", u"pa\u0100ss").NumberEntry("lockFloppy__Parent", 0);
  ASSERT_EQ(ApplyBody(body), Outcome::KeepConnection);
  const ParentPolicy parent = Parent();
  EXPECT_EQ(parent.password__Parent, "");   // unchanged
  EXPECT_EQ(parent.lockFloppy__Parent, 0);  // the other entry still applies
}

// Bodies that change nothing, each with what becomes of the connection.
TEST_F(PolicyExchangeTest, RefusedBodiesChangeNeitherThePolicyNorItsFile) {
  struct Case {
    const char* name;
    uint32_t announced;
    std::vector<uint8_t> sent;
    bool closeAfter;
    Outcome outcome;
  };
  const std::vector<uint8_t> full = EncodePolicyList(PolicySetEntries(ServerParent()));
  const std::vector<uint8_t> sixty(full.begin(), full.begin() + 60);
  std::vector<uint8_t> overrun = Bytes().U32(2).NumberEntry("lockFloppy__Parent", 0);
  overrun.resize(overrun.size() + 3);  // the second entry stops inside its key length

  const std::vector<Case> cases = {
      {"60 of 100 bytes, then the server closes", 100, sixty, true, Outcome::EndConnection},
      {"60 of 100 bytes, then 30 s of silence", 100, sixty, false, Outcome::EndConnection},
      {"entries running past the body's end", static_cast<uint32_t>(overrun.size()), overrun, false,
       Outcome::KeepConnection},
      {"a count with no entries behind it", 4, Bytes().U32(5), false, Outcome::KeepConnection},
      {"a body too short for its count", 2, std::vector<uint8_t>{1, 0}, false, Outcome::KeepConnection},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::LoopbackPair link;
    const auto fileBefore = PolicyFileBytes();
    const uint64_t generation = policy.Generation();
    link.ServerSend(c.sent);
    if (c.closeAfter) link.CloseServer();
    const int64_t start = clock.NowMs();
    EXPECT_EQ(
        ApplyPolicySet(Connection{sockets, clock, link.ClientSocket()}, MessageHeader{kPolicySet, c.announced}, policy),
        c.outcome);
    EXPECT_EQ(policy.Generation(), generation);
    EXPECT_EQ(PolicyFileBytes(), fileBefore);
    EXPECT_LE(clock.NowMs() - start, 32000);
  }
  EXPECT_EQ(Parent(), ParentAfterRestart());
}

TEST_F(PolicyExchangeTest, ABodyAboveOneMebibyteEndsTheConnectionUnread) {
  const std::vector<uint8_t> following = {0x88, 0x13, 0, 0, 0, 0, 0x9B};  // a statusRequest
  pair.ServerSend(following);
  const uint64_t generation = policy.Generation();
  EXPECT_EQ(ApplyPolicySet(Link(), MessageHeader{kPolicySet, kMaxPolicySetBody + 1}, policy), Outcome::EndConnection);
  EXPECT_EQ(policy.Generation(), generation);
  // Nothing was read: the next bytes are still in the socket.
  uint8_t buffer[7];
  EXPECT_EQ(ReceiveExact(Link(), buffer, 7, 0), 7);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 7), following);

  // The largest allowed body is read and applied.
  std::vector<uint8_t> largest = Bytes().U32(1).TextEntry("password__Parent", u"big");
  largest.resize(kMaxPolicySetBody);  // bytes after the counted entries are not looked at
  EXPECT_EQ(ApplyBody(largest), Outcome::KeepConnection);
  EXPECT_EQ(Parent().password__Parent, "big");
}

}  // namespace
}  // namespace vx::management
