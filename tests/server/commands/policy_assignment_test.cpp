// The parent policy the server assigns: its default, how the options of
// policy set change it, and the digest an agent holding it reports.
#include "server/commands/policy_assignment.h"

#include <gtest/gtest.h>

#include <memory>

#include "management/policy_exchange.h"
#include "management/protocol/policy_list.h"
#include "policy/policy_state.h"
#include "policy/rule_text.h"
#include "tests/support/reference_policy.h"

namespace vx::server {
namespace {

using management::ParentPolicy;

// The digest a real agent reports after it stored the policySet the server
// sends for `policy`: the bytes go through the wire encoding, the client's
// own storing into its record and its own reading back.
uint32_t DigestAnAgentReports(const ParentPolicy& policy) {
  const std::vector<uint8_t> body = management::EncodePolicyList(management::PolicySetEntries(policy));
  const management::DecodedPolicyList decoded = management::DecodePolicyList(body.data(), body.size());
  auto state = std::make_unique<PolicyState>();
  BuildDefaultPolicy(*state);
  management::StoreParentPolicy(management::ApplyPolicyEntries(decoded.entries, management::ParentPolicyOf(*state)),
                                *state);
  return management::ParentPolicyDigest(management::ParentPolicyOf(*state));
}

TEST(ServerPolicyAssignment, TheProductDefaultIsWhatAFreshAgentHolds) {
  const ParentPolicy policy = ProductDefaultParentPolicy();
  auto fresh = std::make_unique<PolicyState>();
  BuildDefaultPolicy(*fresh);
  EXPECT_EQ(policy, management::ParentPolicyOf(*fresh));
  EXPECT_EQ(AssignedDigest(policy), 0xBE9BB610u);
  EXPECT_EQ(DigestText(AssignedDigest(policy)), "0xBE9BB610");
  EXPECT_EQ(policy.lockCdDvd__Parent, 1);
  EXPECT_EQ(policy.lockFloppy__Parent, 1);
  const std::vector<USB_RULE> rules = RuleListOfText(policy.ruleUsb__Parent);
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0].flags, 0u);
  EXPECT_EQ(rules[0].action, ACTION_ALLOW);
}

TEST(ServerPolicyAssignment, OptionsChangeOnlyWhatTheyName) {
  ParentPolicy base = ProductDefaultParentPolicy();
  base.password__Parent = "old";
  base.ruleUsb__Lock = 1;

  PolicyEditArguments arguments;
  arguments.cdrom = "unlocked";
  arguments.locks = {"floppy", "on", "rules", "off"};
  ParsedPolicyEdit parsed = ParsePolicyEdit(arguments);
  ASSERT_TRUE(parsed.edit) << parsed.message;
  ParentPolicy expected = base;
  expected.lockCdDvd__Parent = 0;
  expected.lockFloppy__Lock = 1;
  expected.ruleUsb__Lock = 0;
  EXPECT_EQ(ApplyPolicyEdit(base, *parsed.edit), expected);

  // Rules given replace the whole list, in their order.
  arguments = {};
  arguments.rules = {"block vendor Acme", "read-only product 'Cruzer Blade' serial 4C53 exact serial", "allow"};
  arguments.password = "";
  parsed = ParsePolicyEdit(arguments);
  ASSERT_TRUE(parsed.edit) << parsed.message;
  const USB_RULE rules[] = {
      test::MakeRule("Acme", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK),
      test::MakeRule("", "Cruzer Blade", "", "4C53", RULE_CHECK_PRODUCT | RULE_CHECK_SERIAL | RULE_EXACT_SERIAL,
                     ACTION_READ_ONLY),
      test::MakeRule("", "", "", "", 0, ACTION_ALLOW),
  };
  expected = base;
  expected.ruleUsb__Parent = RulesToHex(rules, 3);
  expected.password__Parent = "";
  EXPECT_EQ(ApplyPolicyEdit(base, *parsed.edit), expected);
  EXPECT_FALSE(parsed.edit->Empty());
  EXPECT_TRUE(ParsePolicyEdit({}).edit->Empty());
}

TEST(ServerPolicyAssignment, RefusedOptionsNameWhatIsWrong) {
  struct Case {
    PolicyEditArguments arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{{"allow", "deny vendor Acme"}, {}, {}, {}, {}},
       "--rule \"deny vendor Acme\" (rule 2): \"deny\" is not an action; a rule begins with block, read-only or "
       "allow"},
      {{{"block vendor 'Cruzer"}, {}, {}, {}, {}},
       "--rule \"block vendor 'Cruzer\" (rule 1): the quote that opens \"'Cruzer\" is not closed; end the text with '"},
      {{std::vector<std::string>(125, "allow"), {}, {}, {}, {}}, "125 rules given; an agent holds at most 124"},
      {{{}, "open", {}, {}, {}}, "--cdrom takes locked or unlocked, not \"open\""},
      {{{}, {}, "on", {}, {}}, "--floppy takes locked or unlocked, not \"on\""},
      {{{}, {}, {}, {"printer", "on"}, {}}, "--lock takes rules, cdrom, floppy or password, not \"printer\""},
      {{{}, {}, {}, {"rules", "yes"}, {}}, "--lock rules takes on or off, not \"yes\""},
      {{{}, {}, {}, {"rules", "on", "rules", "off"}, {}}, "--lock rules is given twice"},
      {{{}, {}, {}, {"rules"}, {}}, "--lock takes an item and on or off: --lock rules on"},
      {{{}, {}, {}, {}, std::string(121, 'p')},
       "the password is 121 characters; an agent keeps at most 120 of the server's"},
  };
  for (const Case& c : cases) {
    const ParsedPolicyEdit parsed = ParsePolicyEdit(c.arguments);
    EXPECT_FALSE(parsed.edit) << c.message;
    EXPECT_EQ(parsed.message, c.message);
  }
  PolicyEditArguments longest;
  longest.rules = std::vector<std::string>(124, "block serial 1");
  longest.password = std::string(120, 'p');
  EXPECT_TRUE(ParsePolicyEdit(longest).edit);
}

TEST(ServerPolicyAssignment, TheDigestShownIsTheOneAnAgentReports) {
  ParentPolicy policy = ProductDefaultParentPolicy();
  EXPECT_EQ(DigestAnAgentReports(policy), AssignedDigest(policy));
  // Bytes above 0x7F travel unsigned and are digested with their sign.
  policy.password__Parent = "p\xE4ss";
  policy.ruleUsb__Lock = 1;
  policy.lockCdDvd__Parent = 0;
  PolicyEditArguments arguments;
  arguments.rules = {"block vendor \xC4pfel", "allow"};
  policy = ApplyPolicyEdit(policy, *ParsePolicyEdit(arguments).edit);
  EXPECT_EQ(DigestAnAgentReports(policy), AssignedDigest(policy));
  EXPECT_NE(AssignedDigest(policy), 0xBE9BB610u);
}

}  // namespace
}  // namespace vx::server
