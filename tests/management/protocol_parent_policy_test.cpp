#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "management/protocol/parent_policy.h"
#include "management/protocol/policy_list.h"

namespace vx::management {
namespace {

PolicyEntry Number(std::string key, int32_t number) { return {std::move(key), kNumberEntry, number, {}}; }
PolicyEntry Text(std::string key, std::u16string text) { return {std::move(key), kTextEntry, 0, std::move(text)}; }

ParentPolicy DefaultParent() {
  ParentPolicy parent;
  parent.ruleUsb__Parent = std::string(528, '0');
  parent.ruleUsb__Parent[521] = '3';
  parent.lockCdDvd__Parent = 1;
  parent.lockFloppy__Parent = 1;
  return parent;
}

// A parent whose every field differs from the zero policy, as a starting
// point that shows which fields an entry list changed.
ParentPolicy Filled() {
  ParentPolicy parent;
  parent.ruleUsb__Parent = "RULES";
  parent.ruleUsb__Lock = 2;
  parent.lockCdDvd__Parent = 3;
  parent.lockCdDvd__Lock = 4;
  parent.password__Parent = "old";
  parent.password__Lock = 5;
  parent.lockFloppy__Parent = 6;
  parent.lockFloppy__Lock = 7;
  return parent;
}

TEST(protocol_ParentPolicy, WorkedDigests) {
  EXPECT_EQ(ParentPolicyDigest(ParentPolicy{}), 0x3F0E87D6u);
  EXPECT_EQ(ParentPolicyDigest(DefaultParent()), 0xBE9BB610u);
}

TEST(protocol_ParentPolicy, DigestEntriesWidenWithTheSignAndPolicySetEntriesDoNot) {
  ParentPolicy parent;
  parent.password__Parent = "\x80\xFF\x7F\x01";
  parent.ruleUsb__Parent = "\xC3";
  parent.lockFloppy__Lock = 0xFF;
  parent.lockCdDvd__Parent = 0x80;
  parent.ruleUsb__Lock = 0x7F;

  const std::vector<PolicyEntry> digest = DigestEntries(parent);
  const std::vector<PolicyEntry> expectedDigest = {Text("ruleUsb__Parent", u"\uFFC3"),
                                                   Number("ruleUsb__Lock", 127),
                                                   Number("lockCdDvd__Parent", -128),
                                                   Number("lockCdDvd__Lock", 0),
                                                   Text("password__Parent", u"\uFF80\uFFFF\u007F\u0001"),
                                                   Number("password__Lock", 0),
                                                   Number("lockFloppy__Parent", 0),
                                                   Number("lockFloppy__Lock", -1)};
  EXPECT_EQ(digest, expectedDigest);

  const std::vector<PolicyEntry> set = PolicySetEntries(parent);
  const std::vector<PolicyEntry> expectedSet = {Text("ruleUsb__Parent", u"\u00C3"),
                                                Number("ruleUsb__Lock", 127),
                                                Number("lockCdDvd__Parent", 128),
                                                Number("lockCdDvd__Lock", 0),
                                                Text("password__Parent", u"\u0080\u00FF\u007F\u0001"),
                                                Number("password__Lock", 0),
                                                Number("lockFloppy__Parent", 0),
                                                Number("lockFloppy__Lock", 255)};
  EXPECT_EQ(set, expectedSet);
}

// The digest covers a text as the client's field holds it.
TEST(protocol_ParentPolicy, DigestTakesTextsAsTheirFieldsHoldThem) {
  ParentPolicy cut = Filled();
  cut.password__Parent = std::string(120, 'p');
  cut.ruleUsb__Parent = std::string(65535, 'A');
  ParentPolicy longer = cut;
  longer.password__Parent += "overflow";
  longer.ruleUsb__Parent += "B";
  EXPECT_EQ(ParentPolicyDigest(longer), ParentPolicyDigest(cut));

  ParentPolicy terminated = Filled();
  terminated.password__Parent = std::string("abc\0def", 7);
  ParentPolicy plain = Filled();
  plain.password__Parent = "abc";
  EXPECT_EQ(ParentPolicyDigest(terminated), ParentPolicyDigest(plain));
  plain.password__Parent = "abd";
  EXPECT_NE(ParentPolicyDigest(terminated), ParentPolicyDigest(plain));
}

// Failure messages: the flags, and each text's length and first bytes.
std::string Describe(const ParentPolicy& p) {
  auto text = [](const std::string& t) { return std::to_string(t.size()) + " bytes \"" + t.substr(0, 16) + "\""; };
  return "rule " + text(p.ruleUsb__Parent) + " password " + text(p.password__Parent) + " flags " +
         std::to_string(p.ruleUsb__Lock) + " " + std::to_string(p.lockCdDvd__Parent) + " " +
         std::to_string(p.lockCdDvd__Lock) + " " + std::to_string(p.password__Lock) + " " +
         std::to_string(p.lockFloppy__Parent) + " " + std::to_string(p.lockFloppy__Lock);
}

struct ApplyCase {
  const char* name;
  std::vector<PolicyEntry> entries;
  ParentPolicy expected;
};

std::vector<ApplyCase> ApplyCases() {
  auto with = [](auto change) {
    ParentPolicy parent = Filled();
    change(parent);
    return parent;
  };
  const std::u16string password121(121, u'q');
  std::u16string ruleText65536(65536, u'0');
  return {
      {"empty list changes nothing", {}, Filled()},
      {"256 stores 0", {Number("lockFloppy__Lock", 256)}, with([](ParentPolicy& p) { p.lockFloppy__Lock = 0; })},
      {"257 stores 1", {Number("lockFloppy__Lock", 257)}, with([](ParentPolicy& p) { p.lockFloppy__Lock = 1; })},
      {"-1 stores 0xFF", {Number("ruleUsb__Lock", -1)}, with([](ParentPolicy& p) { p.ruleUsb__Lock = 0xFF; })},
      {"every flag key",
       {Number("ruleUsb__Lock", 11), Number("lockCdDvd__Parent", 12), Number("lockCdDvd__Lock", 13),
        Number("password__Lock", 14), Number("lockFloppy__Parent", 15), Number("lockFloppy__Lock", 16)},
       with([](ParentPolicy& p) {
         p.ruleUsb__Lock = 11;
         p.lockCdDvd__Parent = 12;
         p.lockCdDvd__Lock = 13;
         p.password__Lock = 14;
         p.lockFloppy__Parent = 15;
         p.lockFloppy__Lock = 16;
       })},
      {"letter-case variants are ignored",
       {Number("LockFloppy__Lock", 1), Number("lockfloppy__lock", 1), Text("PASSWORD__PARENT", u"x"),
        Number("lockFloppy__Lock ", 1), Number("lockFloppy__Loc", 1), Number("", 1)},
       Filled()},
      {"a flag key in a text entry stores 0", {Text("lockCdDvd__Parent", u"1")}, with([](ParentPolicy& p) {
         p.lockCdDvd__Parent = 0;
       })},
      {"a flag key in an entry of another kind stores 0", {{"lockCdDvd__Lock", 9, 0, u""}}, with([](ParentPolicy& p) {
         p.lockCdDvd__Lock = 0;
       })},
      {"a text key in a number entry stores an empty text", {Number("password__Parent", 65)}, with([](ParentPolicy& p) {
         p.password__Parent = "";
       })},
      {"a text key in an entry of another kind stores an empty text",
       {{"ruleUsb__Parent", 0, 0, u""}},
       with([](ParentPolicy& p) { p.ruleUsb__Parent = ""; })},
      {"the last duplicate wins",
       {Number("lockCdDvd__Parent", 1), Text("password__Parent", u"first"), Number("lockCdDvd__Parent", 0),
        Text("password__Parent", u"second")},
       with([](ParentPolicy& p) {
         p.lockCdDvd__Parent = 0;
         p.password__Parent = "second";
       })},
      {"units up to 0x00FF become the bytes of the same value",
       {Text("password__Parent", u"\u0001\u0080\u00FFz")},
       with([](ParentPolicy& p) { p.password__Parent = "\x01\x80\xFFz"; })},
      {"a text ends at its first 0 unit",
       {Text("password__Parent", std::u16string(u"ab\0cd", 5))},
       with([](ParentPolicy& p) { p.password__Parent = "ab"; })},
      {"a password of 120 bytes is kept",
       {Text("password__Parent", std::u16string(120, u'q'))},
       with([](ParentPolicy& p) { p.password__Parent = std::string(120, 'q'); })},
      {"a password of 121 bytes is cut to 120", {Text("password__Parent", password121)}, with([](ParentPolicy& p) {
         p.password__Parent = std::string(120, 'q');
       })},
      {"a rule text of 65,536 bytes is cut to 65,535",
       {Text("ruleUsb__Parent", ruleText65536)},
       with([](ParentPolicy& p) { p.ruleUsb__Parent = std::string(65535, '0'); })},
      {"a unit above 0x00FF skips the entry and keeps the field",
       {Text("password__Parent", u"ab\u0100"), Number("password__Lock", 1)},
       with([](ParentPolicy& p) { p.password__Lock = 1; })},
      {"a unit above 0x00FF is skipped under the rule text too", {Text("ruleUsb__Parent", u"\u263A0A")}, Filled()},
      {"an earlier entry for the field still counts",
       {Text("password__Parent", u"kept"), Text("password__Parent", u"\uFFFF")},
       with([](ParentPolicy& p) { p.password__Parent = "kept"; })},
      {"a unit above 0x00FF past the cut still skips the entry",
       {Text("password__Parent", std::u16string(125, u'q') + u"\u0100")},
       Filled()},
      {"a unit above 0x00FF after the first 0 unit is not part of the text",
       {Text("password__Parent", std::u16string(u"ok\0\u0100", 4))},
       with([](ParentPolicy& p) { p.password__Parent = "ok"; })},
  };
}

TEST(protocol_ParentPolicy, ApplyPolicyEntriesStoringRules) {
  for (const ApplyCase& c : ApplyCases()) {
    SCOPED_TRACE(c.name);
    const ParentPolicy stored = ApplyPolicyEntries(c.entries, Filled());
    EXPECT_TRUE(stored == c.expected) << Describe(stored) << "\nexpected " << Describe(c.expected);
  }
}

std::string RandomBytes(std::mt19937& random, std::size_t maxLength) {
  std::string text(random() % (maxLength + 1), '\0');
  for (char& c : text) c = static_cast<char>(1 + random() % 255);
  return text;
}

ParentPolicy RandomParent(std::mt19937& random) {
  ParentPolicy parent;
  // Rule texts mostly short, now and then at the field's limit.
  parent.ruleUsb__Parent = random() % 8 == 0 ? std::string(kMaxParentRuleText, 'F') : RandomBytes(random, 600);
  parent.password__Parent = RandomBytes(random, kMaxParentPassword);
  for (uint8_t* flag : {&parent.ruleUsb__Lock, &parent.lockCdDvd__Parent, &parent.lockCdDvd__Lock,
                        &parent.password__Lock, &parent.lockFloppy__Parent, &parent.lockFloppy__Lock})
    *flag = static_cast<uint8_t>(random());
  return parent;
}

// What the server sends is what the client stores, from any starting point,
// also through the wire, and both sides then agree on the digest.
TEST(protocol_ParentPolicy, PolicySetEntriesGiveBackTheParent) {
  std::mt19937 random(5);
  for (int round = 0; round < 300; ++round) {
    const ParentPolicy sent = RandomParent(random);
    const ParentPolicy before = RandomParent(random);
    const ParentPolicy stored = ApplyPolicyEntries(PolicySetEntries(sent), before);
    ASSERT_TRUE(stored == sent) << "round " << round << ": " << Describe(stored) << "\nsent " << Describe(sent);
    EXPECT_EQ(ParentPolicyDigest(stored), ParentPolicyDigest(sent));

    const std::vector<uint8_t> body = EncodePolicyList(PolicySetEntries(sent));
    const DecodedPolicyList decoded = DecodePolicyList(body.data(), body.size());
    ASSERT_TRUE(decoded.complete);
    ASSERT_TRUE(ApplyPolicyEntries(decoded.entries, before) == sent) << "round " << round;
  }
}

// A parent the client cannot hold exactly (a zero byte inside, a text past
// its limit) is stored as its field holds it, and the server's predicted
// digest still matches the client's.
TEST(protocol_ParentPolicy, ServerPredictsTheDigestOfWhatTheClientCannotHoldExactly) {
  ParentPolicy sent = Filled();
  sent.password__Parent = std::string(130, 'x');
  sent.ruleUsb__Parent = std::string(
      "0A\0"
      "0B",
      5);
  const ParentPolicy stored = ApplyPolicyEntries(PolicySetEntries(sent), ParentPolicy{});
  EXPECT_EQ(stored.password__Parent, std::string(120, 'x'));
  EXPECT_EQ(stored.ruleUsb__Parent, "0A");
  EXPECT_EQ(ParentPolicyDigest(stored), ParentPolicyDigest(sent));
}

}  // namespace
}  // namespace vx::management
