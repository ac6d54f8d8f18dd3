#include "policy/policy_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/file_io.h"
#include "policy/policy_file.h"
#include "policy/rule_text.h"
#include "tests/support/reference_policy.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

class PolicyStoreTest : public testing::Test {
 protected:
  PolicyStoreTest() : store_(dir_ / "configdb.dat") {}

  // Loads the default policy, then sets the record's flags by hand as the
  // management server would.
  void LoadWith(const std::function<void(PolicyState&)>& parent = {}) {
    store_.LoadPolicy();
    if (parent) store_.ChangeParentValues(parent);
  }
  static void FollowNothing(PolicyState& s) {
    s.ruleUsb__Inherit = s.lockCdDvd__Inherit = s.lockFloppy__Inherit = s.password__Inherit = 0;
  }
  std::unique_ptr<PolicyState> Copy() const {
    auto copy = std::make_unique<PolicyState>();
    store_.Read([&](const PolicyState& s) { std::memcpy(copy.get(), &s, sizeof s); });
    return copy;
  }
  std::unique_ptr<PolicyState> FromFile() const {
    auto copy = std::make_unique<PolicyState>();
    EXPECT_TRUE(ReadPolicyFile(store_.PolicyFile(), *copy));
    return copy;
  }
  static DEVICE_POLICY LocalPolicy(int32_t count) {
    DEVICE_POLICY policy{};
    for (int32_t i = 0; i < count && i < USB_MAX_RULES; ++i)
      policy.rules[i] = test::MakeRule(("V" + std::to_string(i)).c_str(), "P", "R", "S",
                                       RULE_CHECK_VENDOR | RULE_EXACT_VENDOR, 1 + i % 3);
    policy.count = count;
    return policy;
  }

  test::TempDir dir_;
  PolicyStore store_;
};

struct LockCase {
  uint32_t mask;
  uint32_t expected;
};

TEST_F(PolicyStoreTest, DriveLockMaskTakesBitsOneAndTwoOnly) {
  LoadWith(FollowNothing);
  const LockCase cases[] = {{6, 6}, {1, 0}, {2, 2}, {4, 4}, {0xFFFFFFFF, 6}, {0xFFFFFFF9, 0}, {0, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(store_.SetDriveLocks(c.mask), 1);
    EXPECT_EQ(store_.GetDriveLocks(), c.expected) << "mask " << c.mask;
    EXPECT_EQ(FromFile()->lockCdDvd, (c.expected & 2) ? 1 : 0);  // saved at once
  }
}

TEST_F(PolicyStoreTest, DriveLocksFollowAnInheritedOrLockedParent) {
  LoadWith();  // default: both inherit a parent value of 1
  EXPECT_EQ(store_.SetDriveLocks(0), 1);
  EXPECT_EQ(store_.GetDriveLocks(), 6u);
  store_.ChangeParentValues([](PolicyState& s) {
    s.lockCdDvd__Inherit = 0;
    s.lockFloppy__Inherit = 0;
    s.lockFloppy__Lock = 1;
  });
  EXPECT_EQ(store_.SetDriveLocks(0), 1);
  EXPECT_EQ(store_.GetDriveLocks(), 4u);  // floppy stays locked by the parent
}

TEST_F(PolicyStoreTest, DefaultPasswordIsEmpty) {
  LoadWith();
  EXPECT_EQ(store_.CheckPassword(""), 1);
  EXPECT_EQ(store_.CheckPassword(" "), 0);
}

TEST_F(PolicyStoreTest, ChangePasswordChecksTheCurrentPasswordAndTheParentLock) {
  LoadWith(FollowNothing);
  EXPECT_EQ(store_.ChangePassword("", "Secret", 0), 1);
  EXPECT_EQ(store_.CheckPassword("Secret"), 1);
  EXPECT_EQ(store_.CheckPassword("secret"), 0);  // case-sensitive
  EXPECT_EQ(store_.CheckPassword("Secret "), 0);
  EXPECT_EQ(store_.CheckPassword("Secre"), 0);

  const uint64_t before = store_.Generation();
  EXPECT_EQ(store_.ChangePassword("wrong", "Other", 0), 0);
  EXPECT_EQ(store_.Generation(), before);  // nothing applied
  EXPECT_EQ(store_.CheckPassword("Secret"), 1);

  store_.ChangeParentValues([](PolicyState& s) { s.password__Lock = 1; });
  EXPECT_EQ(store_.ChangePassword("", "Other", 0), 0);  // parent's empty password now in force
  EXPECT_EQ(store_.CheckPassword(""), 1);
}

TEST_F(PolicyStoreTest, FollowingTheParentIgnoresTheNewPassword) {
  LoadWith([](PolicyState& s) {
    FollowNothing(s);
    StoreFieldText(s.password__Parent, "from-parent");
  });
  EXPECT_EQ(store_.ChangePassword("", "ignored", 1), 1);
  EXPECT_EQ(Copy()->password__Inherit, 1);
  EXPECT_EQ(store_.CheckPassword("from-parent"), 1);
  EXPECT_EQ(store_.CheckPassword("ignored"), 0);
}

TEST_F(PolicyStoreTest, PasswordLengthLimitIs127) {
  LoadWith(FollowNothing);
  const std::string longest(127, 'k');
  EXPECT_EQ(store_.ChangePassword("", std::string(128, 'k'), 0), 0);
  EXPECT_EQ(store_.CheckPassword(""), 1);
  EXPECT_EQ(store_.ChangePassword("", longest, 0), 1);
  EXPECT_EQ(store_.CheckPassword(longest), 1);
}

TEST_F(PolicyStoreTest, ChangedPasswordSurvivesAReload) {
  LoadWith(FollowNothing);
  ASSERT_EQ(store_.ChangePassword("", "kept", 0), 1);
  PolicyStore restarted(store_.PolicyFile());
  restarted.LoadPolicy();
  EXPECT_EQ(restarted.CheckPassword("kept"), 1);
}

TEST_F(PolicyStoreTest, SetPolicyThenGetPolicyRoundTrips) {
  LoadWith([](PolicyState& s) {
    FollowNothing(s);
    s.ruleUsb__Lock = s.lockCdDvd__Lock = s.lockFloppy__Lock = s.password__Lock = 0;
  });
  DEVICE_POLICY sent = LocalPolicy(5);
  sent.lockCdDvd = 7;  // flag bytes are stored as they arrive
  sent.lockFloppy = 1;
  sent.ruleUsb__Lock = sent.lockCdDvd__Lock = sent.lockFloppy__Lock = sent.password__Lock = 1;  // ignored
  sent.password__Inherit = 1;                                                                   // ignored
  ASSERT_EQ(store_.SetPolicy(sent), 1);

  DEVICE_POLICY got;
  std::memset(&got, 0xCC, sizeof got);
  store_.GetPolicy(got);
  EXPECT_EQ(got.count, 5);
  EXPECT_EQ(0, std::memcmp(got.rules, sent.rules, 5 * sizeof(USB_RULE)));
  EXPECT_EQ(got.lockCdDvd, 7);
  EXPECT_EQ(got.lockFloppy, 1);
  EXPECT_EQ(got.ruleUsb__Inherit, 0);
  EXPECT_EQ(got.lockCdDvd__Inherit, 0);
  EXPECT_EQ(got.lockFloppy__Inherit, 0);
  EXPECT_EQ(got.ruleUsb__Lock | got.lockCdDvd__Lock | got.lockFloppy__Lock | got.password__Lock, 0);
  EXPECT_EQ(got.password__Inherit, 0);
  EXPECT_EQ(got.rules[5].action, 0);  // slots past count are zero
  EXPECT_EQ(got.padding[0] | got.padding[1], 0);
  EXPECT_EQ(FromFile()->lockCdDvd, 7);  // saved
}

TEST_F(PolicyStoreTest, SetPolicyWithCountZeroEmptiesTheRules) {
  LoadWith(FollowNothing);
  ASSERT_EQ(store_.SetPolicy(LocalPolicy(0)), 1);
  EXPECT_EQ(FieldText(Copy()->ruleUsb), "");
  DEVICE_POLICY got;
  store_.GetPolicy(got);
  EXPECT_EQ(got.count, 0);
}

TEST_F(PolicyStoreTest, InheritingRulesDiscardsTheSentRules) {
  LoadWith();
  DEVICE_POLICY sent = LocalPolicy(3);
  sent.ruleUsb__Inherit = 1;
  ASSERT_EQ(store_.SetPolicy(sent), 1);
  DEVICE_POLICY got;
  store_.GetPolicy(got);
  ASSERT_EQ(got.count, 1);  // the parent's allow-all rule
  EXPECT_EQ(got.rules[0].action, ACTION_ALLOW);
  EXPECT_EQ(got.rules[0].flags, 0u);
}

TEST_F(PolicyStoreTest, RuleCountsOutsideZeroTo124AreRefusedAndChangeNothing) {
  LoadWith(FollowNothing);
  ASSERT_EQ(store_.SetPolicy(LocalPolicy(2)), 1);
  const auto before = Copy();
  const auto fileBefore = platform::ReadFilePrefix(store_.PolicyFile(), 1 << 20);
  const uint64_t generation = store_.Generation();
  for (int32_t count : {-1, -2147483647 - 1, 125, 128, 129, 2147483647}) {
    DEVICE_POLICY sent = LocalPolicy(count);
    sent.lockCdDvd = 1;
    EXPECT_EQ(store_.SetPolicy(sent), 0) << count;
  }
  EXPECT_EQ(0, std::memcmp(Copy().get(), before.get(), sizeof(PolicyState)));
  EXPECT_EQ(platform::ReadFilePrefix(store_.PolicyFile(), 1 << 20), fileBefore);
  EXPECT_EQ(store_.Generation(), generation);

  ASSERT_EQ(store_.SetPolicy(LocalPolicy(124)), 1);
  EXPECT_EQ(FieldText(Copy()->ruleUsb).size(), 65472u);
  DEVICE_POLICY got;
  store_.GetPolicy(got);
  EXPECT_EQ(got.count, 124);
}

TEST_F(PolicyStoreTest, ParentRulesReachTheEffectiveListOnlyWhenFollowed) {
  LoadWith(FollowNothing);
  ASSERT_EQ(store_.SetPolicy(LocalPolicy(2)), 1);
  const USB_RULE parent = test::MakeRule("", "", "", "", 0, ACTION_BLOCK);
  store_.ChangeParentValues([&](PolicyState& s) { StoreFieldText(s.ruleUsb__Parent, RulesToHex(&parent, 1)); });
  EXPECT_EQ(RuleCountOf(FieldText(Copy()->ruleUsb)), 2u);  // local list kept

  store_.ChangeParentValues([](PolicyState& s) { s.ruleUsb__Lock = 1; });
  EXPECT_EQ(FieldText(Copy()->ruleUsb), RulesToHex(&parent, 1));
  ASSERT_EQ(store_.SetPolicy(LocalPolicy(3)), 1);  // a local change does not last
  EXPECT_EQ(FieldText(Copy()->ruleUsb), RulesToHex(&parent, 1));
}

TEST_F(PolicyStoreTest, EveryApplySetsTheFlagAndOnlyTheAcceptanceOfTheCurrentGenerationClearsIt) {
  EXPECT_FALSE(store_.PolicyChanged());
  LoadWith(FollowNothing);
  EXPECT_TRUE(store_.PolicyChanged());

  uint64_t accepted = 0;
  store_.ReadWithGeneration([](const PolicyState&) { return 0; }, accepted);
  EXPECT_TRUE(store_.ClearPolicyChanged(accepted));
  EXPECT_FALSE(store_.PolicyChanged());

  // A change made while the drivers are sent the values survives the
  // monitor's clear.
  store_.ReadWithGeneration([](const PolicyState&) { return 0; }, accepted);
  ASSERT_EQ(store_.SetDriveLocks(0), 1);
  EXPECT_FALSE(store_.ClearPolicyChanged(accepted));
  EXPECT_TRUE(store_.PolicyChanged());

  // Writers that change nothing still set it.
  store_.ReadWithGeneration([](const PolicyState&) { return 0; }, accepted);
  ASSERT_TRUE(store_.ClearPolicyChanged(accepted));
  store_.ChangeParentValues([](PolicyState&) {});
  EXPECT_TRUE(store_.PolicyChanged());
  ASSERT_TRUE(store_.ClearPolicyChanged(store_.Generation()));
  EXPECT_EQ(store_.ChangePassword("", "", 0), 1);
  EXPECT_TRUE(store_.PolicyChanged());
}

TEST_F(PolicyStoreTest, AFailedSaveKeepsTheValuesInMemory) {
  PolicyStore nowhere(dir_ / "missing-directory" / "configdb.dat");
  nowhere.LoadPolicy();
  EXPECT_FALSE(nowhere.SavePolicy());
  EXPECT_EQ(nowhere.GetDriveLocks(), 6u);
  nowhere.ChangeParentValues(FollowNothing);
  EXPECT_EQ(nowhere.SetDriveLocks(2), 1);
  EXPECT_EQ(nowhere.GetDriveLocks(), 2u);
}

}  // namespace
}  // namespace vx
