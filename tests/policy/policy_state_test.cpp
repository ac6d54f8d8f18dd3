#include "policy/policy_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "policy/rule_text.h"
#include "tests/support/reference_policy.h"

namespace vx {
namespace {

std::unique_ptr<PolicyState> NewState() {
  auto state = std::make_unique<PolicyState>();
  std::memset(state.get(), 0, sizeof *state);
  return state;
}

TEST(PolicyState, DefaultPolicyAllowsEveryDiskLocksDrivesAndHasNoPassword) {
  auto state = NewState();
  std::memset(state.get(), 0xEE, sizeof *state);  // the default starts from zero bytes
  BuildDefaultPolicy(*state);
  CopyParentValues(*state);

  USB_RULE allowAll{};
  allowAll.action = ACTION_ALLOW;
  EXPECT_EQ(FieldText(state->ruleUsb), RulesToHex(&allowAll, 1));
  EXPECT_EQ(FieldText(state->ruleUsb__Parent).size(), 528u);
  EXPECT_EQ(state->lockCdDvd, 1);
  EXPECT_EQ(state->lockFloppy, 1);
  EXPECT_EQ(FieldText(state->password), "");
  EXPECT_EQ(FieldText(state->password__Parent), "");
  for (uint8_t flag :
       {state->ruleUsb__Inherit, state->lockCdDvd__Inherit, state->lockFloppy__Inherit, state->password__Inherit})
    EXPECT_EQ(flag, 1);
  for (uint8_t flag : {state->ruleUsb__Lock, state->lockCdDvd__Lock, state->lockFloppy__Lock, state->password__Lock})
    EXPECT_EQ(flag, 0);
  EXPECT_EQ(state->statusWord, 0u);
  // Everything past the texts' terminators is zero.
  EXPECT_EQ(state->ruleUsb[528], '\0');
  EXPECT_EQ(state->ruleUsb[kRuleTextSize - 1], '\0');
}

struct ApplyCase {
  uint8_t lock;
  uint8_t inherit;
  bool followsParent;
};

// Every item follows its parent exactly when its lock or inherit byte is
// nonzero (any nonzero byte counts as on).
TEST(PolicyState, ItemsFollowTheParentWhenLockedOrInheriting) {
  const ApplyCase cases[] = {{0, 0, false}, {1, 0, true}, {0, 1, true}, {1, 1, true}, {0x80, 0, true}, {0, 0xFF, true}};
  const USB_RULE parentRule = test::MakeRule("P", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK);
  const USB_RULE localRules[2] = {test::MakeRule("L", "", "", "", 0, ACTION_ALLOW),
                                  test::MakeRule("M", "", "", "", 0, ACTION_ALLOW)};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "lock " << int(c.lock) << " inherit " << int(c.inherit));
    auto state = NewState();
    StoreFieldText(state->ruleUsb, RulesToHex(localRules, 2));
    StoreFieldText(state->ruleUsb__Parent, RulesToHex(&parentRule, 1));
    state->lockCdDvd = 0;
    state->lockCdDvd__Parent = 1;
    state->lockFloppy = 1;
    state->lockFloppy__Parent = 0;
    StoreFieldText(state->password, "local");
    StoreFieldText(state->password__Parent, "parent");
    state->ruleUsb__Lock = state->lockCdDvd__Lock = state->lockFloppy__Lock = state->password__Lock = c.lock;
    state->ruleUsb__Inherit = state->lockCdDvd__Inherit = state->lockFloppy__Inherit = state->password__Inherit =
        c.inherit;

    CopyParentValues(*state);

    if (c.followsParent) {
      EXPECT_EQ(FieldText(state->ruleUsb), RulesToHex(&parentRule, 1));
      // The longer local text is gone entirely, not just cut by a terminator.
      EXPECT_EQ(state->ruleUsb[600], '\0');
      EXPECT_EQ(state->lockCdDvd, 1);
      EXPECT_EQ(state->lockFloppy, 0);
      EXPECT_EQ(FieldText(state->password), "parent");
      EXPECT_EQ(state->password[6], '\0');
    } else {
      EXPECT_EQ(FieldText(state->ruleUsb), RulesToHex(localRules, 2));
      EXPECT_EQ(state->lockCdDvd, 0);
      EXPECT_EQ(state->lockFloppy, 1);
      EXPECT_EQ(FieldText(state->password), "local");
    }
  }
}

TEST(PolicyState, ItemsAreAppliedIndependently) {
  auto state = NewState();
  state->lockCdDvd__Inherit = 1;
  state->lockCdDvd__Parent = 1;
  state->lockFloppy__Parent = 1;  // floppy neither locked nor inheriting
  StoreFieldText(state->password__Parent, "p");
  state->password__Lock = 1;
  CopyParentValues(*state);
  EXPECT_EQ(state->lockCdDvd, 1);
  EXPECT_EQ(state->lockFloppy, 0);
  EXPECT_EQ(FieldText(state->password), "p");
}

TEST(PolicyState, TextFieldsAreNeverReadOrWrittenPastTheirEnd) {
  auto state = NewState();
  // A parent text without a terminator reads as 65,535 characters.
  std::memset(state->ruleUsb__Parent, 'A', kRuleTextSize);
  state->ruleUsb__Inherit = 1;
  std::memset(state->password__Parent, 'p', kPasswordSize);
  state->password__Lock = 1;
  state->ruleUsb__Lock = 0x11;  // the byte after the parent text must survive
  CopyParentValues(*state);
  EXPECT_EQ(FieldText(state->ruleUsb).size(), kRuleTextSize - 1);
  EXPECT_EQ(state->ruleUsb[kRuleTextSize - 1], '\0');
  EXPECT_EQ(FieldText(state->password).size(), kPasswordSize - 1);
  EXPECT_EQ(state->password__Inherit, 0);
  EXPECT_EQ(state->ruleUsb__Lock, 0x11);

  StoreFieldText(state->password, std::string(500, 'x'));
  EXPECT_EQ(FieldText(state->password).size(), kMaxPasswordLength);
  EXPECT_EQ(state->password__Inherit, 0);
}

}  // namespace
}  // namespace vx
