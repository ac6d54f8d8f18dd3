#include "monitor/monitor_loop.h"

#include <gtest/gtest.h>

#include "monitor/driver_steps.h"
#include "monitor/install_dir.h"
#include "policy/rule_text.h"
#include "tests/monitor/monitor_test_support.h"
#include "tests/support/reference_policy.h"

namespace vx {
namespace {

class MonitorLoopTest : public testing::Test, protected test::MonitorFixture {
 protected:
  void Start() {
    monitor_ = std::make_unique<Monitor>(Environment(devices_), shared);
    monitor_->StartUp();
  }
  int SetRuleListsSent() const { return devices_.filter.CountOf(IOCTL_SET_RULE_LIST); }
  std::vector<StoredReport> Rows() const { return ReportsAfter(dir / "reportdb.dat", 0, 1000); }

  test::FakeDeviceChannel devices_;
  std::unique_ptr<Monitor> monitor_;
};

TEST_F(MonitorLoopTest, BothDriversGetThePolicyOnceAfterStartAndOnceAfterEachChange) {
  Start();
  for (int pass = 0; pass < 3; ++pass) monitor_->RunPass();
  EXPECT_EQ(SetRuleListsSent(), 1);
  EXPECT_EQ(devices_.lock.codes, (std::vector<uint32_t>{IOCTL_CDDVD_LOCK, IOCTL_FLOPPY_LOCK, IOCTL_GET_LOCK_LOG,
                                                        IOCTL_GET_LOCK_LOG, IOCTL_GET_LOCK_LOG}));
  EXPECT_EQ(debugLines, (std::vector<std::string>{"Set 1 usb rule"}));
  ASSERT_EQ(devices_.filter.ruleLists.size(), 1u);
  ASSERT_EQ(devices_.filter.ruleLists[0].size(), sizeof(USB_RULE));
  USB_RULE sent;
  std::memcpy(&sent, devices_.filter.ruleLists[0].data(), sizeof sent);
  EXPECT_EQ(sent.action, ACTION_ALLOW);
  EXPECT_FALSE(shared.policy->PolicyChanged());

  // A local change: no locks inherited any more, CD/DVD unlocked, floppy locked.
  DEVICE_POLICY policy{};
  policy.count = 2;
  policy.rules[0] = test::MakeRule("V", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK);
  policy.lockFloppy = 1;
  ASSERT_EQ(shared.policy->SetPolicy(policy), 1);
  devices_.lock.codes.clear();
  monitor_->RunPass();
  monitor_->RunPass();
  EXPECT_EQ(SetRuleListsSent(), 2);
  EXPECT_EQ(devices_.filter.ruleLists[1].size(), 2 * sizeof(USB_RULE));
  EXPECT_EQ(devices_.lock.codes,
            (std::vector<uint32_t>{IOCTL_CDDVD_UNLOCK, IOCTL_FLOPPY_LOCK, IOCTL_GET_LOCK_LOG, IOCTL_GET_LOCK_LOG}));
  EXPECT_EQ(debugLines.back(), "Set 2 usb rule");
}

TEST_F(MonitorLoopTest, WhileTheLockDriverIsMissingTheRulesAreSentEveryPassAndNeverAccepted) {
  devices_.lock.present = false;
  Start();
  for (int pass = 0; pass < 4; ++pass) monitor_->RunPass();
  EXPECT_EQ(SetRuleListsSent(), 4);
  EXPECT_TRUE(shared.policy->PolicyChanged());
  devices_.lock.present = true;
  monitor_->RunPass();
  EXPECT_EQ(SetRuleListsSent(), 5);
  EXPECT_EQ(devices_.lock.CountOf(IOCTL_CDDVD_LOCK), 1);
  EXPECT_FALSE(shared.policy->PolicyChanged());
  monitor_->RunPass();
  EXPECT_EQ(SetRuleListsSent(), 5);

  devices_.filter.present = false;  // and the other way round
  ASSERT_EQ(shared.policy->SetDriveLocks(0), 1);
  monitor_->RunPass();
  monitor_->RunPass();
  EXPECT_EQ(devices_.lock.CountOf(IOCTL_CDDVD_LOCK), 3);
  EXPECT_TRUE(shared.policy->PolicyChanged());
}

// A driver that refuses its settings has not accepted them: the next pass
// sends them again, and only a pass in which both drivers accepted clears
// the flag.
TEST_F(MonitorLoopTest, RefusedSettingsAreSentAgainAndOnlyTheirAcceptanceByBothClearsPolicyChanged) {
  struct Case {
    const char* what;
    bool filterDriver;
    uint32_t refusedCode;
  };
  const Case cases[] = {
      {"rule list", true, IOCTL_SET_RULE_LIST},
      {"CD/DVD lock", false, IOCTL_CDDVD_LOCK},
      {"floppy lock", false, IOCTL_FLOPPY_LOCK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::FakeDeviceChannel devices;
    test::FakeDriver& refusing = c.filterDriver ? devices.filter : devices.lock;
    refusing.refusals[c.refusedCode] = 1;
    MonitorShared passShared;
    Monitor monitor(Environment(devices), passShared);
    monitor.StartUp();

    monitor.RunPass();  // refused
    EXPECT_TRUE(passShared.policy->PolicyChanged());
    EXPECT_EQ(refusing.CountOf(c.refusedCode), 1);

    monitor.RunPass();  // sent again, accepted by both
    EXPECT_EQ(refusing.CountOf(c.refusedCode), 2);
    EXPECT_FALSE(passShared.policy->PolicyChanged());
    // All the settings went again: both lock codes (the second one also in
    // the pass whose first was refused) and the rule list.
    EXPECT_EQ(devices.lock.CountOf(IOCTL_CDDVD_LOCK), 2);
    EXPECT_EQ(devices.lock.CountOf(IOCTL_FLOPPY_LOCK), 2);
    EXPECT_EQ(devices.filter.CountOf(IOCTL_SET_RULE_LIST), 2);

    monitor.RunPass();  // nothing left to send; the logs are still read every pass
    EXPECT_EQ(devices.filter.CountOf(IOCTL_SET_RULE_LIST), 2);
    EXPECT_EQ(devices.lock.CountOf(IOCTL_CDDVD_LOCK), 2);
    EXPECT_EQ(devices.lock.CountOf(IOCTL_GET_LOCK_LOG), 3);
    EXPECT_EQ(devices.filter.CountOf(IOCTL_GET_LOGS), 3);
  }
}

TEST_F(MonitorLoopTest, AChangeMadeDuringAPassIsNotTakenAsAcceptedAndTheNextPassSendsIt) {
  Start();
  // The change arrives after the lock driver got its codes, before the
  // filter's turn: both drivers accept the old values, so the flag must stay.
  auto& lockCodes = devices_.lock.codes;
  bool changed = false;
  struct ChangingChannel final : DeviceChannel {
    test::FakeDeviceChannel& inner;
    std::function<void()> beforeFilter;
    explicit ChangingChannel(test::FakeDeviceChannel& channel) : inner(channel) {}
    std::unique_ptr<DeviceHandle> Open(std::wstring_view path) override {
      if (path == VX_FILTER_USER_PATH && beforeFilter) beforeFilter();
      return inner.Open(path);
    }
  } channel(devices_);
  channel.beforeFilter = [&] {
    if (!changed) {
      changed = true;
      shared.policy->ChangeParentValues([](PolicyState& s) { s.lockFloppy__Parent = 0; });
    }
  };
  Monitor monitor(Environment(channel), shared);
  monitor.StartUp();
  monitor.RunPass();
  EXPECT_TRUE(changed);
  EXPECT_TRUE(shared.policy->PolicyChanged());
  monitor.RunPass();
  EXPECT_FALSE(shared.policy->PolicyChanged());
  EXPECT_EQ(devices_.lock.CountOf(IOCTL_FLOPPY_LOCK), 1);    // the old value, first pass
  EXPECT_EQ(devices_.lock.CountOf(IOCTL_FLOPPY_UNLOCK), 1);  // the new one, next pass
  EXPECT_EQ(lockCodes.size(), 6u);
}

TEST_F(MonitorLoopTest, AnEmptyRuleListSendsZeroBytes) {
  Start();
  DEVICE_POLICY policy{};
  ASSERT_EQ(shared.policy->SetPolicy(policy), 1);  // inherit 0, count 0
  monitor_->RunPass();
  ASSERT_EQ(devices_.filter.ruleLists.size(), 1u);
  EXPECT_TRUE(devices_.filter.ruleLists[0].empty());
  EXPECT_EQ(debugLines, (std::vector<std::string>{"Set 0 usb rule"}));
}

// The filter step decodes into the driver's 128 rules: a longer text sends
// the first 128, whole, and nothing is written past the buffer.
TEST(FilterDriverStep, ARuleTextOfMoreThan128RulesSendsTheFirst128) {
  for (std::size_t ruleCount : {std::size_t{128}, std::size_t{129}, std::size_t{300}}) {
    SCOPED_TRACE(ruleCount);
    std::vector<USB_RULE> rules;
    for (std::size_t i = 0; i < ruleCount; ++i)
      rules.push_back(test::MakeRule(("V" + std::to_string(i)).c_str(), "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK));
    test::FakeDeviceChannel devices;
    std::vector<std::string> lines;
    std::vector<USB_LOG> logBuffer;
    const DriverStepResult result = RunFilterDriverStep(
        devices, true, RulesToHex(rules.data(), rules.size()), [&](const char* line) { lines.emplace_back(line); },
        logBuffer);
    EXPECT_TRUE(result.accepted);
    EXPECT_EQ(lines, (std::vector<std::string>{"Set 128 usb rule"}));
    ASSERT_EQ(devices.filter.ruleLists.size(), 1u);
    ASSERT_EQ(devices.filter.ruleLists[0].size(), USB_MAX_RULES * sizeof(USB_RULE));
    EXPECT_EQ(std::memcmp(devices.filter.ruleLists[0].data(), rules.data(), USB_MAX_RULES * sizeof(USB_RULE)), 0);
  }
}

TEST_F(MonitorLoopTest, APassStoringFilterAndLockRowsCountsOnce) {
  Start();
  for (int i = 0; i < 5; ++i)
    devices_.filter.filterLog.push_back(
        test::MakeFilterEntry("Ven", ("Disk" + std::to_string(i)).c_str(), "S", 1 + i % 3));
  devices_.lock.lockLogs.push_back(test::MakeLockLog({"CdRom0", "Floppy0"}, 1, 2014, 3, 3, 9, 5, 7));
  monitor_->RunPass();
  EXPECT_EQ(shared.reportsStored.load(), 1);
  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 7u);
  // Lock rows come first (the lock driver's turn is first), then the filter's in order.
  EXPECT_EQ(rows[0].row.product, "CdRom0");
  EXPECT_EQ(rows[1].row.serial, "-");
  const int32_t expected[] = {0, 2, 1, 0, 2};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(rows[2 + i].row.product, "Disk" + std::to_string(i));
    EXPECT_EQ(rows[2 + i].row.action, expected[i]);
  }
  monitor_->RunPass();  // nothing new
  EXPECT_EQ(shared.reportsStored.load(), 1);
}

TEST_F(MonitorLoopTest, AFailingDatabaseKeepsItsRowsForALaterPass) {
  registry.WriteValue(kProductKeyPath, L"InstallPath", StringValue(test::InstallPathFor(dir / "gone")));
  std::filesystem::create_directory(dir / "gone");
  Start();
  std::filesystem::remove_all(dir / "gone");  // the database cannot be created now
  devices_.filter.filterLog.push_back(test::MakeFilterEntry("A", "B", "C", 1));
  monitor_->RunPass();
  EXPECT_EQ(shared.reportsStored.load(), 0);
  std::filesystem::create_directory(dir / "gone");
  monitor_->RunPass();  // no new entries, the kept row is stored
  EXPECT_EQ(shared.reportsStored.load(), 1);
  EXPECT_EQ(ReportsAfter(dir / "gone" / "reportdb.dat", 0, 10).size(), 1u);
}

TEST_F(MonitorLoopTest, FailedLogReadsStoreNothing) {
  Start();
  devices_.filter.failLogReads = true;
  devices_.filter.filterLog.push_back(test::MakeFilterEntry("A", "B", "C", 1));
  monitor_->RunPass();
  EXPECT_EQ(shared.reportsStored.load(), 0);
  devices_.filter.failLogReads = false;
  monitor_->RunPass();
  EXPECT_EQ(shared.reportsStored.load(), 1);
}

TEST_F(MonitorLoopTest, NewDisksAreQueuedOnceWhileAttachedAndAgainAfterRemoval) {
  usb.names = {test::DiskKeyName("SanDisk", "Cruzer_Blade", "AA01"), test::DiskKeyName("Kingston", "DT", "BB02")};
  Start();
  DEVICE_POLICY policy{};
  policy.count = 1;
  policy.rules[0] = test::MakeRule("", "cruzer", "", "", RULE_CHECK_PRODUCT, ACTION_READ_ONLY);
  ASSERT_EQ(shared.policy->SetPolicy(policy), 1);
  monitor_->RunPass();
  monitor_->RunPass();
  USB_RULE taken;
  ASSERT_TRUE(shared.newDeviceQueue.TakeOne(taken));
  EXPECT_STREQ(taken.product, "Cruzer Blade");
  EXPECT_EQ(taken.action, ACTION_READ_ONLY);
  ASSERT_TRUE(shared.newDeviceQueue.TakeOne(taken));
  EXPECT_STREQ(taken.vendor, "Kingston");
  EXPECT_EQ(taken.action, ACTION_ALLOW);
  EXPECT_FALSE(shared.newDeviceQueue.TakeOne(taken));

  usb.names.pop_back();  // Kingston removed
  monitor_->RunPass();
  EXPECT_EQ(shared.newDeviceQueue.Size(), 0u);
  usb.names.push_back(test::DiskKeyName("Kingston", "DT", "BB02"));  // and plugged in again
  monitor_->RunPass();
  ASSERT_TRUE(shared.newDeviceQueue.TakeOne(taken));
  EXPECT_STREQ(taken.serial, "BB02");
  usb.names.clear();
  monitor_->RunPass();
  EXPECT_EQ(shared.newDeviceQueue.Size(), 0u);
}

TEST_F(MonitorLoopTest, RunStopsWhenServiceRunningIsCleared) {
  shared.serviceRunning = true;
  clock.onSleep = [&] {
    if (clock.sleeps == 3) shared.serviceRunning = false;
  };
  EXPECT_EQ(MonitorThread(Environment(devices_), shared), 0);
  EXPECT_EQ(clock.sleeps, 3);
  EXPECT_EQ(clock.sleptMs, 3000u);
  EXPECT_EQ(devices_.filter.CountOf(IOCTL_GET_LOGS), 3);
  EXPECT_TRUE(std::filesystem::exists(dir / "configdb.dat"));

  shared.serviceRunning = false;  // tested before the first pass
  test::FakeDeviceChannel idle;
  EXPECT_EQ(MonitorThread(Environment(idle), shared), 0);
  EXPECT_EQ(idle.filter.opens, 0);
}

TEST_F(MonitorLoopTest, StartPointsRunOnceAndTheManagementClientOnlyWhenConfigured) {
  int listeners = 0, clients = 0;
  for (uint32_t serverMode : {0u, 1u, 1u, 2u}) {
    auto environment = Environment(devices_);
    environment.serverMode = serverMode;
    environment.startControlRpcListener = [&](MonitorShared& s) {
      EXPECT_NE(s.policy, nullptr);  // the policy is loaded before anyone can call
      ++listeners;
    };
    environment.startManagementClient = [&](MonitorShared&) { ++clients; };
    Monitor(std::move(environment), shared).StartUp();
  }
  EXPECT_EQ(listeners, 4);
  EXPECT_EQ(clients, 1);  // at most once per process
}

struct InstallDirCase {
  std::optional<RegistryValue> value;
  std::wstring installDir;
};

TEST(InstallDir, ComesFromInstallPathWithATrailingBackslash) {
  const std::vector<InstallDirCase> cases = {
      {std::nullopt, L".\\"},
      {StringValue(L"C:\\Data"), L"C:\\Data\\"},
      {StringValue(L"C:\\Data\\"), L"C:\\Data\\"},
      {StringValue(L""), L"\\"},
      {RegistryValue{kRegistryBinary, {'D', 0, ':', 0, 0, 0, 'x', 0}}, L"D:\\"},  // type not checked, cut at zero
      {RegistryValue{kRegistryString, {'E', 0, ':', 0}}, L"E:\\"},                // no terminator
      {StringValue(std::wstring(9999, L'a')), std::wstring(9999, L'a') + L"\\"},
      {StringValue(std::wstring(10000, L'a')), L".\\"},  // more than 20,000 bytes cannot be read
  };
  for (const auto& c : cases) {
    test::FakeRegistry registry;
    if (c.value) registry.WriteValue(kProductKeyPath, L"InstallPath", *c.value);
    EXPECT_EQ(ReadInstallDir(registry), c.installDir);
  }
  EXPECT_EQ(DataFilePath(L".\\", L"reportdb.dat").filename(), "reportdb.dat");
}

}  // namespace
}  // namespace vx
