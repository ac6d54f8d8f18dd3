// The monitor pass against the real filter driver code on the kernel
// stand-in: the rule list the driver accepts is what it enforces, and the
// driver's log entries become report rows.
#include <gtest/gtest.h>

#include "driver/host/host_driver.h"
#include "monitor/monitor_loop.h"
#include "tests/monitor/monitor_test_support.h"
#include "tests/support/reference_policy.h"

namespace vx {
namespace {

// The filter's control device as DeviceIoControl reaches it, and the
// scripted lock driver for the other path.
class HostDriverChannel final : public DeviceChannel {
 public:
  explicit HostDriverChannel(test::FakeDeviceChannel& lock) : lock_(lock) {}
  std::unique_ptr<DeviceHandle> Open(std::wstring_view path) override {
    if (path == VX_LOCK_USER_PATH) return lock_.Open(path);
    if (path != VX_FILTER_USER_PATH) return nullptr;
    PDEVICE_OBJECT device = host::OpenDevice(u"\\\\.\\VXDevFltr");
    if (!device) return nullptr;
    return std::make_unique<Handle>(device);
  }

 private:
  class Handle final : public DeviceHandle {
   public:
    explicit Handle(PDEVICE_OBJECT device) : device_(device) {}
    bool Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
                 uint32_t& bytesReturned) override {
      const host::IoResult result = host::SendDeviceControl(device_, code, input, inputLength, output, outputLength);
      bytesReturned = static_cast<uint32_t>(result.information);
      return NT_SUCCESS(result.status);
    }

   private:
    PDEVICE_OBJECT device_;
  };
  test::FakeDeviceChannel& lock_;
};

class MonitorWithDriverTest : public testing::Test, protected test::MonitorFixture {
 protected:
  std::vector<StoredReport> Rows() const { return ReportsAfter(dir / "reportdb.dat", 0, 1000); }

  host::LoadedDriver driver_;
  test::FakeDeviceChannel lock_;
  HostDriverChannel channel_{lock_};
};

TEST_F(MonitorWithDriverTest, AcceptedRulesAreEnforcedAndEveryVerdictBecomesARow) {
  ASSERT_EQ(driver_.EntryStatus(), STATUS_SUCCESS);
  Monitor monitor(Environment(channel_), shared);
  monitor.StartUp();
  monitor.RunPass();  // sends the default allow-all rule
  EXPECT_EQ(debugLines, (std::vector<std::string>{"Set 1 usb rule"}));
  EXPECT_FALSE(shared.policy->PolicyChanged());

  host::FakeDisk stick(host::kBusTypeUsbDisk, test::DiskKeyName("SanDisk", "Cruzer_Blade", "4C530001"));
  host::FakeDisk sata(host::kBusTypeSata, u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\SCSI\\Disk&Ven_ATA");
  ASSERT_EQ(driver_.Plug(stick), STATUS_SUCCESS);
  ASSERT_EQ(driver_.Plug(sata), STATUS_SUCCESS);
  EXPECT_EQ(host::SendWrite(stick.Top(), 512).status, STATUS_SUCCESS);
  monitor.RunPass();
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);  // the USB arrival only
  EXPECT_EQ(rows[0].row.vendor, "SanDisk");
  EXPECT_EQ(rows[0].row.product, "Cruzer Blade");
  EXPECT_EQ(rows[0].row.serial, "4C530001");
  EXPECT_EQ(rows[0].row.action, 1);  // allowed
  EXPECT_EQ(shared.reportsStored.load(), 1);

  // Block SanDisk: the next pass sends the list; the disk's next request is
  // judged again, refused, and logged once.
  DEVICE_POLICY policy{};
  policy.count = 2;
  policy.rules[0] = test::MakeRule("sandisk", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK);
  policy.rules[1] = test::MakeRule("", "", "", "", 0, ACTION_ALLOW);
  ASSERT_EQ(shared.policy->SetPolicy(policy), 1);
  monitor.RunPass();
  EXPECT_EQ(debugLines.back(), "Set 2 usb rule");
  EXPECT_EQ(host::SendRead(stick.Top(), 512).status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(host::SendWrite(stick.Top(), 512).status, STATUS_ACCESS_DENIED);
  monitor.RunPass();
  rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].row.action, 0);  // blocked
  EXPECT_EQ(shared.reportsStored.load(), 2);

  // Read-only, then an unchanged list: one row for the change, none after.
  policy.rules[0].action = ACTION_READ_ONLY;
  ASSERT_EQ(shared.policy->SetPolicy(policy), 1);
  monitor.RunPass();
  EXPECT_EQ(host::SendRead(stick.Top(), 512).status, STATUS_SUCCESS);
  EXPECT_EQ(host::SendWrite(stick.Top(), 512).status, STATUS_ACCESS_DENIED);
  ASSERT_EQ(shared.policy->SetPolicy(policy), 1);
  monitor.RunPass();
  EXPECT_EQ(host::SendRead(stick.Top(), 512).status, STATUS_SUCCESS);
  monitor.RunPass();
  rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].row.action, 2);  // read-only
  EXPECT_EQ(debugLines.size(), 4u);  // one list sent per change, none on plain passes

  EXPECT_EQ(driver_.Unplug(stick).status, STATUS_SUCCESS);
  EXPECT_EQ(driver_.Unplug(sata).status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace vx
