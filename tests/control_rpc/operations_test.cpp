// The control interface's routines over a real policy store (with its file
// in a temporary directory), a real device queue and a fake registry.
#include "control_rpc/operations.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "policy/rule_text.h"
#include "tests/control_rpc/scripted_caller.h"
#include "tests/support/fake_registry.h"
#include "tests/support/reference_policy.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

using test::MakeRule;

class ControlOperationsTest : public ::testing::Test {
 protected:
  ControlOperationsTest() : store_(dir_ / "configdb.dat"), ops_(store_, queue_, registry_, caller_) {
    store_.LoadPolicy();
  }

  // A record in which every item is the local one, with `count` rules.
  static DEVICE_POLICY LocalPolicy(int32_t count) {
    DEVICE_POLICY policy{};
    for (int32_t i = 0; i < count && i < USB_MAX_RULES; ++i)
      policy.rules[i] =
          MakeRule(("vendor" + std::to_string(i)).c_str(), "product", "1.0", "serial", RULE_CHECK_VENDOR, ACTION_BLOCK);
    policy.count = count;
    return policy;
  }

  // Parent values as the management server would set them.
  void SetParent(const std::function<void(PolicyState&)>& change) { store_.ChangeParentValues(change); }

  std::string EffectiveRuleText() {
    return store_.Read([](const PolicyState& s) { return std::string(FieldText(s.ruleUsb)); });
  }
  std::string EffectivePassword() {
    return store_.Read([](const PolicyState& s) { return std::string(FieldText(s.password)); });
  }

  test::TempDir dir_;
  PolicyStore store_;
  DeviceQueue queue_;
  test::FakeRegistry registry_;
  test::ScriptedCaller caller_;
  ControlOperations ops_;
};

TEST_F(ControlOperationsTest, DriveLockMaskWhenTheItemsAreLocal) {
  ASSERT_EQ(ops_.SetPolicy(LocalPolicy(0)), 1);  // both lock items now local
  const struct {
    uint32_t mask;
    int expected;
  } cases[] = {{6, 6}, {1, 0}, {2, 2}, {4, 4}, {0, 0}, {0xFFFFFFFFu, 6}, {0xFFFFFFF9u, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(ops_.SetDriveLocks(c.mask), 1);
    EXPECT_EQ(ops_.GetDriveLocks(), c.expected) << "mask " << c.mask;
  }
  // The change is saved: a restarted store reads it back.
  ASSERT_EQ(ops_.SetDriveLocks(4), 1);
  PolicyStore restarted(dir_ / "configdb.dat");
  restarted.LoadPolicy();
  EXPECT_EQ(restarted.GetDriveLocks(), 4u);
}

TEST_F(ControlOperationsTest, DriveLockMaskYieldsToAnInheritedOrLockedItem) {
  // The default policy: both lock items follow their parent, which locks.
  EXPECT_EQ(ops_.SetDriveLocks(0), 1);
  EXPECT_EQ(ops_.GetDriveLocks(), 6);

  // A local optical lock, and a floppy lock forced off by the parent.
  ASSERT_EQ(ops_.SetPolicy(LocalPolicy(0)), 1);
  SetParent([](PolicyState& s) {
    s.lockFloppy__Lock = 1;
    s.lockFloppy__Parent = 0;
  });
  EXPECT_EQ(ops_.SetDriveLocks(6), 1);
  EXPECT_EQ(ops_.GetDriveLocks(), 2);
}

TEST_F(ControlOperationsTest, PasswordCheckAndChange) {
  EXPECT_EQ(ops_.CheckPassword(""), 1);  // the default password is empty
  EXPECT_EQ(ops_.CheckPassword("x"), 0);

  EXPECT_EQ(ops_.ChangePassword("wrong", "new", 0), 0);
  EXPECT_EQ(ops_.CheckPassword(""), 1);

  EXPECT_EQ(ops_.ChangePassword("", "s3cret", 0), 1);
  EXPECT_EQ(ops_.CheckPassword("s3cret"), 1);
  EXPECT_EQ(ops_.CheckPassword("S3cret"), 0);  // case counts
  EXPECT_EQ(ops_.CheckPassword(""), 0);

  // Saved at once: a restart keeps the new password.
  PolicyStore restarted(dir_ / "configdb.dat");
  restarted.LoadPolicy();
  EXPECT_EQ(restarted.CheckPassword("s3cret"), 1);
}

TEST_F(ControlOperationsTest, PasswordLockedByTheParentCannotChange) {
  SetParent([](PolicyState& s) {
    StoreFieldText(s.password__Parent, "parent-secret");
    s.password__Lock = 1;
  });
  EXPECT_EQ(ops_.ChangePassword("parent-secret", "mine", 0), 0);
  EXPECT_EQ(ops_.ChangePassword("parent-secret", "mine", 1), 0);
  EXPECT_EQ(EffectivePassword(), "parent-secret");
}

TEST_F(ControlOperationsTest, FollowingTheParentIgnoresTheNewPassword) {
  ASSERT_EQ(ops_.ChangePassword("", "local", 0), 1);
  SetParent([](PolicyState& s) { StoreFieldText(s.password__Parent, "parent-secret"); });
  EXPECT_EQ(ops_.ChangePassword("local", "ignored", 1), 1);
  EXPECT_EQ(EffectivePassword(), "parent-secret");
  EXPECT_EQ(store_.Read([](const PolicyState& s) { return s.password__Inherit; }), 1);
  EXPECT_EQ(ops_.CheckPassword("ignored"), 0);
}

TEST_F(ControlOperationsTest, OverlongNewPasswordIsRefused) {
  EXPECT_EQ(ops_.ChangePassword("", std::string(128, 'p'), 0), 0);
  EXPECT_EQ(ops_.CheckPassword(""), 1);
  EXPECT_EQ(ops_.ChangePassword("", std::string(127, 'p'), 0), 1);
  EXPECT_EQ(ops_.CheckPassword(std::string(127, 'p')), 1);
}

TEST_F(ControlOperationsTest, SetPolicyWithNoRulesEmptiesTheRuleList) {
  ASSERT_EQ(ops_.SetPolicy(LocalPolicy(3)), 1);
  ASSERT_EQ(EffectiveRuleText().size(), 3 * kRuleTextChars);
  EXPECT_EQ(ops_.SetPolicy(LocalPolicy(0)), 1);
  EXPECT_EQ(EffectiveRuleText(), "");
  DEVICE_POLICY read;
  ASSERT_EQ(ops_.GetPolicy(read), 1);
  EXPECT_EQ(read.count, 0);
}

TEST_F(ControlOperationsTest, InheritingRulesDiscardsTheRecordsRules) {
  const USB_RULE parentRules[] = {MakeRule("Parent", "", "", "", RULE_CHECK_VENDOR, ACTION_READ_ONLY)};
  SetParent([&](PolicyState& s) { StoreFieldText(s.ruleUsb__Parent, RulesToHex(parentRules, 1)); });
  DEVICE_POLICY policy = LocalPolicy(5);
  policy.ruleUsb__Inherit = 1;
  ASSERT_EQ(ops_.SetPolicy(policy), 1);

  DEVICE_POLICY read;
  ASSERT_EQ(ops_.GetPolicy(read), 1);
  ASSERT_EQ(read.count, 1);
  EXPECT_EQ(std::memcmp(&read.rules[0], &parentRules[0], sizeof(USB_RULE)), 0);
  EXPECT_EQ(read.ruleUsb__Inherit, 1);
}

TEST_F(ControlOperationsTest, GetPolicyReturnsWhatSetPolicySent) {
  DEVICE_POLICY sent{};
  // 124 rules, every text at its longest, distinct flags and actions.
  for (int i = 0; i < 124; ++i) {
    USB_RULE& r = sent.rules[i];
    std::memset(r.vendor, 'A' + i % 26, 63);
    std::memset(r.product, 'a' + i % 26, 63);
    std::memset(r.revision, '0' + i % 10, 63);
    std::memset(r.serial, 'Z' - i % 26, 63);
    r.flags = static_cast<uint32_t>(i);
    r.action = 1 + i % 3;
  }
  sent.count = 124;
  sent.lockCdDvd = 5;  // flag bytes are stored as they arrive
  sent.lockFloppy = 1;
  ASSERT_EQ(ops_.SetPolicy(sent), 1);

  DEVICE_POLICY read;
  std::memset(&read, 0xCC, sizeof read);
  ASSERT_EQ(ops_.GetPolicy(read), 1);
  EXPECT_EQ(read.count, 124);
  EXPECT_EQ(std::memcmp(read.rules, sent.rules, 124 * sizeof(USB_RULE)), 0);
  const uint8_t sentFlags[] = {sent.ruleUsb__Inherit, sent.lockCdDvd, sent.lockCdDvd__Inherit, sent.lockFloppy,
                               sent.lockFloppy__Inherit};
  const uint8_t readFlags[] = {read.ruleUsb__Inherit, read.lockCdDvd, read.lockCdDvd__Inherit, read.lockFloppy,
                               read.lockFloppy__Inherit};
  EXPECT_EQ(std::memcmp(sentFlags, readFlags, sizeof sentFlags), 0);
  EXPECT_EQ(read.password__Inherit, 1);  // the default: not taken from the record
  // Slots after the count are zero, not leftovers.
  const USB_RULE zero{};
  EXPECT_EQ(std::memcmp(&read.rules[124], &zero, sizeof zero), 0);
  EXPECT_EQ(read.padding[0], 0);
}

TEST_F(ControlOperationsTest, SetPolicyIgnoresLockFlagsAndPasswordInherit) {
  DEVICE_POLICY sent = LocalPolicy(1);
  sent.ruleUsb__Lock = sent.lockCdDvd__Lock = sent.lockFloppy__Lock = sent.password__Lock = 1;
  sent.password__Inherit = 0;
  ASSERT_EQ(ops_.SetPolicy(sent), 1);
  DEVICE_POLICY read;
  ASSERT_EQ(ops_.GetPolicy(read), 1);
  EXPECT_EQ(read.ruleUsb__Lock + read.lockCdDvd__Lock + read.lockFloppy__Lock + read.password__Lock, 0);
  EXPECT_EQ(read.password__Inherit, 1);
}

TEST_F(ControlOperationsTest, SetPolicyRefusesACountOutOfRange) {
  ASSERT_EQ(ops_.SetPolicy(LocalPolicy(2)), 1);
  const std::string before = EffectiveRuleText();
  const uint64_t generation = store_.Generation();
  for (int32_t count : {-1, 125, 128, 129, INT_MAX, INT_MIN}) {
    DEVICE_POLICY policy = LocalPolicy(3);
    policy.count = count;
    policy.lockCdDvd = 1;
    EXPECT_EQ(ops_.SetPolicy(policy), 0) << count;
  }
  EXPECT_EQ(EffectiveRuleText(), before);
  EXPECT_EQ(store_.Generation(), generation);
  EXPECT_EQ(ops_.GetDriveLocks(), 0);
  EXPECT_EQ(ops_.SetPolicy(LocalPolicy(124)), 1);
}

TEST_F(ControlOperationsTest, PingAndReservedOperationsChangeNothing) {
  const uint64_t generation = store_.Generation();
  EXPECT_EQ(ops_.Ping(), 1);
  EXPECT_EQ(ops_.Reserved(), 0);
  EXPECT_EQ(store_.Generation(), generation);
}

TEST_F(ControlOperationsTest, DeviceArrivalsOldestFirstThenNone) {
  USB_RULE entry;
  std::memset(&entry, 0x5A, sizeof entry);
  const USB_RULE untouched = entry;
  EXPECT_EQ(ops_.PopDeviceArrival(entry), 0);
  EXPECT_EQ(std::memcmp(&entry, &untouched, sizeof entry), 0);

  USB_RULE older = MakeRule("Kingston", "DataTraveler", "1.00", "0019E06B", 0, ACTION_BLOCK);
  older.vendor[20] = 'x';  // bytes after the terminator are not handed out
  older.flags = 9;
  queue_.Push(older);
  queue_.Push(MakeRule("SanDisk", "Cruzer", "8.02", "4C53", 0, ACTION_ALLOW));

  ASSERT_EQ(ops_.PopDeviceArrival(entry), 1);
  EXPECT_STREQ(entry.vendor, "Kingston");
  EXPECT_EQ(entry.vendor[20], '\0');
  EXPECT_STREQ(entry.serial, "0019E06B");
  EXPECT_EQ(entry.flags, 0u);
  EXPECT_EQ(entry.action, ACTION_BLOCK);
  ASSERT_EQ(ops_.PopDeviceArrival(entry), 1);
  EXPECT_STREQ(entry.vendor, "SanDisk");
  EXPECT_EQ(entry.action, ACTION_ALLOW);
  EXPECT_EQ(ops_.PopDeviceArrival(entry), 0);
  EXPECT_STREQ(entry.vendor, "SanDisk");
}

TEST_F(ControlOperationsTest, LanguageNeedsTenBytes) {
  uint8_t buffer[16];
  std::memset(buffer, 0xAA, sizeof buffer);
  EXPECT_EQ(ops_.GetLanguage(9, buffer), 0);
  EXPECT_EQ(buffer[0], 0xAA);
  EXPECT_EQ(ops_.GetLanguage(0, buffer), 0);
  EXPECT_EQ(ops_.GetLanguage(10, buffer), 1);  // no registry value: english
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "english");
  EXPECT_EQ(buffer[8], 0xAA);  // nothing past the name and its zero
}

// The interface bounds the size at 65,536 bytes; the routine keeps to the
// same bound should a call ever reach it with more.
TEST_F(ControlOperationsTest, LanguageTakesAtMost65536Bytes) {
  std::vector<uint8_t> buffer(70000, 0xAA);
  EXPECT_EQ(ops_.GetLanguage(65536, buffer.data()), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer.data()), "english");
  std::fill(buffer.begin(), buffer.end(), 0xAA);
  EXPECT_EQ(ops_.GetLanguage(65537, buffer.data()), 0);
  EXPECT_EQ(ops_.GetLanguage(UINT32_MAX, buffer.data()), 0);
  EXPECT_EQ(buffer[0], 0xAA);
}

RegistryValue WideText(const std::u16string& text) {
  RegistryValue value{kRegistryString, {}};
  for (char16_t c : text) {
    value.data.push_back(static_cast<uint8_t>(c & 0xFF));
    value.data.push_back(static_cast<uint8_t>(c >> 8));
  }
  value.data.push_back(0);
  value.data.push_back(0);
  return value;
}

TEST(ControlLanguage, EveryRegistryTextOfTheMapping) {
  struct Case {
    const char* what;
    std::optional<RegistryValue> value;
    const char* expected;  // nullptr: result 0
  };
  RegistryValue expand = WideText(u"1055");
  expand.type = kRegistryExpandString;
  const Case cases[] = {
      {"missing", std::nullopt, "english"},
      {"empty", WideText(u""), "english"},
      {"1033", WideText(u"1033"), "english"},
      {"1055", WideText(u"1055"), "turkish"},
      {"1055 expandable", expand, "turkish"},
      {"not text", RegistryValue{kRegistryDword, {0x1F, 0x04, 0, 0}}, "english"},
      {"longer than 200 bytes", WideText(std::u16string(120, u'1')), "english"},
      {"other locale", WideText(u"2057"), nullptr},
      {"letters", WideText(u"EN"), nullptr},
      {"1055 with a space", WideText(u"1055 "), nullptr},
      {"wide character", WideText(u"10\u4E005"), nullptr},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    PolicyStore store(dir / "configdb.dat");
    DeviceQueue queue;
    test::FakeRegistry registry;
    if (c.value) registry.WriteValue(kProductKeyPath, L"Language", *c.value);
    test::ScriptedCaller caller;
    ControlOperations ops(store, queue, registry, caller);
    uint8_t buffer[32];
    std::memset(buffer, 0xAA, sizeof buffer);
    if (c.expected) {
      EXPECT_EQ(ops.GetLanguage(sizeof buffer, buffer), 1) << c.what;
      EXPECT_STREQ(reinterpret_cast<char*>(buffer), c.expected) << c.what;
    } else {
      EXPECT_EQ(ops.GetLanguage(sizeof buffer, buffer), 0) << c.what;
      EXPECT_EQ(buffer[0], 0xAA) << c.what;
    }
  }
}

std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// Who may change the policy is a security boundary: an ordinary caller is
// refused by each of the three changing operations and nothing changes, not
// the record, the policy file, the generation or the flag the monitor pushes
// on; administrators and LocalSystem are served; reads stay open to anyone.
TEST_F(ControlOperationsTest, OnlyAdministratorsAndLocalSystemChangeThePolicy) {
  // Every item local, so that each change would have a lasting effect.
  ASSERT_EQ(ops_.SetPolicy(LocalPolicy(2)), 1);
  ASSERT_TRUE(store_.ClearPolicyChanged(store_.Generation()));
  const struct {
    const char* what;
    std::function<int()> change;
  } changes[] = {
      {"SetDriveLocks", [&] { return ops_.SetDriveLocks(6); }},
      {"SetPolicy", [&] { return ops_.SetPolicy(LocalPolicy(5)); }},
      {"ChangePassword", [&] { return ops_.ChangePassword("", "taken", 0); }},
      {"ChangePassword to follow the parent", [&] { return ops_.ChangePassword("", "", 1); }},
      {"ChangePassword to the same password", [&] { return ops_.ChangePassword("", "", 0); }},
  };

  DEVICE_POLICY before;
  ASSERT_EQ(ops_.GetPolicy(before), 1);
  const std::string fileBefore = FileBytes(store_.PolicyFile());
  const uint64_t generation = store_.Generation();
  caller_.Become(test::Caller::User);
  for (const auto& c : changes) {
    const int questions = caller_.Questions();
    EXPECT_EQ(c.change(), 0) << c.what;
    EXPECT_GT(caller_.Questions(), questions) << c.what << " did not ask who calls";
  }
  DEVICE_POLICY after;
  ASSERT_EQ(ops_.GetPolicy(after), 1);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
  EXPECT_EQ(ops_.GetDriveLocks(), 0);
  EXPECT_EQ(ops_.CheckPassword(""), 1);
  EXPECT_EQ(EffectivePassword(), "");
  EXPECT_EQ(FileBytes(store_.PolicyFile()), fileBefore);
  EXPECT_EQ(store_.Generation(), generation);
  EXPECT_FALSE(store_.PolicyChanged());

  // Reads stay open to the ordinary caller.
  queue_.Push(MakeRule("Kingston", "DataTraveler", "1.00", "1", 0, ACTION_ALLOW));
  USB_RULE entry;
  EXPECT_EQ(ops_.PopDeviceArrival(entry), 1);
  uint8_t name[16];
  EXPECT_EQ(ops_.GetLanguage(sizeof name, name), 1);
  EXPECT_EQ(ops_.Ping(), 1);
  EXPECT_EQ(ops_.CheckPassword("wrong"), 0);

  // Administrators and LocalSystem are served, each change in turn.
  for (test::Caller allowed : {test::Caller::Administrator, test::Caller::LocalSystem}) {
    caller_.Become(allowed);
    const std::string password = allowed == test::Caller::Administrator ? "admin" : "system";
    EXPECT_EQ(ops_.SetDriveLocks(allowed == test::Caller::Administrator ? 6 : 2), 1);
    EXPECT_EQ(ops_.GetDriveLocks(), allowed == test::Caller::Administrator ? 6 : 2);
    EXPECT_EQ(ops_.SetPolicy(LocalPolicy(allowed == test::Caller::Administrator ? 5 : 3)), 1);
    DEVICE_POLICY read;
    ASSERT_EQ(ops_.GetPolicy(read), 1);
    EXPECT_EQ(read.count, allowed == test::Caller::Administrator ? 5 : 3);
    EXPECT_EQ(ops_.ChangePassword(EffectivePassword(), password, 0), 1);
    EXPECT_EQ(EffectivePassword(), password);
  }
  EXPECT_GT(store_.Generation(), generation);
}

// Calls from many threads at once, as the RPC run time makes them, beside
// the monitor queueing disks.
TEST_F(ControlOperationsTest, ConcurrentCallsKeepThePolicyWhole) {
  ASSERT_EQ(ops_.SetPolicy(LocalPolicy(4)), 1);
  std::atomic<int> taken{0};
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(ops_.SetDriveLocks(static_cast<uint32_t>((t + i) % 4) * 2), 1);
        DEVICE_POLICY read;
        EXPECT_EQ(ops_.GetPolicy(read), 1);
        if (read.count != 4 || std::strcmp(read.rules[3].vendor, "vendor3") != 0) torn = true;
        USB_RULE entry;
        taken += ops_.PopDeviceArrival(entry);
      }
    });
  }
  for (int i = 0; i < 100; ++i) queue_.Push(MakeRule("Disk", "", "", std::to_string(i).c_str(), 0, ACTION_ALLOW));
  for (auto& thread : threads) thread.join();
  USB_RULE entry;
  while (ops_.PopDeviceArrival(entry)) ++taken;
  EXPECT_FALSE(torn);
  EXPECT_EQ(taken, 100);
  ASSERT_EQ(ops_.SetDriveLocks(4), 1);
  EXPECT_EQ(ops_.GetDriveLocks(), 4);
}

}  // namespace
}  // namespace vx
