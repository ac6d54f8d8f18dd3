// A loaded filter driver on the kernel stand-in with helpers to set rules,
// take the log and plug USB disks by their registry key names.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/filter_control.h"
#include "driver/host/fake_disk.h"
#include "driver/host/host_control.h"
#include "driver/host/host_driver.h"

namespace vx::test {

inline std::u16string UsbKeyName(const std::u16string& vendor, const std::u16string& product,
                                 const std::u16string& revision, const std::u16string& serial) {
  return u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USBSTOR\\Disk&Ven_" + vendor + u"&Prod_" + product +
         u"&Rev_" + revision + u"\\" + serial + u"&0\\Device Parameters";
}

class DriverFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    vx::host::SetLocalTime(2014, 3, 3, 9, 5, 7);
    driver_ = std::make_unique<vx::host::LoadedDriver>();
    ASSERT_EQ(driver_->EntryStatus(), STATUS_SUCCESS);
    control_ = vx::host::OpenDevice(u"\\\\.\\VXDevFltr");
    ASSERT_NE(control_, nullptr);
    vx::host::TakeDebugLines();
  }

  void TearDown() override {
    for (auto& disk : disks_) {
      if (disk->Filtered()) {
        EXPECT_EQ(driver_->Unplug(*disk).status, STATUS_SUCCESS);
      }
    }
    disks_.clear();
    driver_.reset();
    EXPECT_EQ(vx::host::PoolAllocationsOutstanding(), 0u) << "pool leak";
    EXPECT_EQ(vx::host::IrpsOutstanding(), 0u) << "IRP leak";
    EXPECT_EQ(vx::host::KeyHandlesOutstanding(), 0u) << "registry key handle leak";
    EXPECT_EQ(vx::host::TokenHandlesOutstanding(), 0u) << "token handle leak";
  }

  vx::host::FakeDisk& AddDisk(UCHAR busType, const std::u16string& keyName,
                              vx::host::KeyAccess access = vx::host::KeyAccess::kNormal) {
    disks_.push_back(std::make_unique<vx::host::FakeDisk>(busType, keyName, access));
    return *disks_.back();
  }

  vx::host::FakeDisk& PlugUsb(const std::u16string& keyName,
                              vx::host::KeyAccess access = vx::host::KeyAccess::kNormal) {
    vx::host::FakeDisk& disk = AddDisk(vx::host::kBusTypeUsbDisk, keyName, access);
    EXPECT_EQ(driver_->Plug(disk), STATUS_SUCCESS);
    return disk;
  }

  vx::host::IoResult SetRules(const std::vector<USB_RULE>& rules) {
    return SetRuleBytes(rules.data(), static_cast<ULONG>(rules.size() * sizeof(USB_RULE)));
  }

  vx::host::IoResult SetRuleBytes(const void* bytes, ULONG length) {
    return vx::host::SendDeviceControl(control_, IOCTL_SET_RULE_LIST, bytes, length, nullptr, 0);
  }

  // Takes the whole log with a buffer for 128 entries.
  std::vector<USB_LOG> TakeLogs() {
    std::vector<USB_LOG> logs(USB_MAX_LOGS);
    const vx::host::IoResult result =
        vx::host::SendDeviceControl(control_, IOCTL_GET_LOGS, nullptr, 0, logs.data(), sizeof(USB_LOG) * USB_MAX_LOGS);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information % sizeof(USB_LOG), 0u);
    logs.resize(result.information / sizeof(USB_LOG));
    return logs;
  }

  std::unique_ptr<vx::host::LoadedDriver> driver_;
  PDEVICE_OBJECT control_ = nullptr;
  std::vector<std::unique_ptr<vx::host::FakeDisk>> disks_;
};

}  // namespace vx::test
