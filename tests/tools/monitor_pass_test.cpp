// One monitor pass over the real Windows channel with both drivers loaded as
// kernel services: both receive the policy, both logs are read, and the rows
// land in reportdb.dat in the install directory.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "monitor/monitor_loop.h"
#include "monitor/windows/setupdi_usb_storage.h"
#include "monitor/windows/win_clock.h"
#include "monitor/windows/win_device_channel.h"
#include "platform/windows/win_registry.h"
#include "tests/driver/kernel_service.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

TEST(MonitorPassUnderWine, BothDriversAcceptThePolicyAndTheirLogsAreStored) {
  test::KernelService lockDriver(L"VXDevCtrl", VX_LOCK_DRIVER_PATH);
  test::KernelService filterDriver(L"VXDevFltr", VX_FILTER_DRIVER_PATH);
  ASSERT_TRUE(lockDriver.Running()) << lockDriver.LastError();
  ASSERT_TRUE(filterDriver.Running()) << filterDriver.LastError();

  test::TempDir installDir;
  WinRegistry registry;
  const std::wstring installPath = installDir.path().wstring() + L"\\";
  ASSERT_TRUE(registry.WriteValue(kProductKeyPath, L"InstallPath", StringValue(installPath)));

  WinDeviceChannel channel;
  SetupDiUsbStorageSource usb;
  WinClock clock;
  std::vector<std::string> debugLines;
  MonitorShared shared;
  Monitor monitor(
      MonitorEnvironment{
          .registry = registry,
          .devices = channel,
          .usbStorage = usb,
          .clock = clock,
          .debugOutput = [&](const char* line) { debugLines.emplace_back(line); },
      },
      shared);
  monitor.StartUp();
  EXPECT_EQ(shared.installDir, installPath);
  monitor.RunPass();
  monitor.RunPass();

  EXPECT_EQ(debugLines, (std::vector<std::string>{"Set 1 usb rule"}));  // both accepted: sent once
  EXPECT_FALSE(shared.policy->PolicyChanged());
  EXPECT_EQ(std::filesystem::file_size(installDir / "configdb.dat"), 131360u);
  // The default policy locks both kinds of drive: the lock driver logs two changes.
  const auto rows = ReportsAfter(installDir / "reportdb.dat", 0, 100);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].row.product, "CD/DVD");
  EXPECT_EQ(rows[1].row.product, "Floppy");
  EXPECT_EQ(shared.reportsStored.load(), 1);

  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKeyPath.data(), 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
    RegDeleteValueW(key, L"InstallPath");
    RegCloseKey(key);
  }
}

}  // namespace
}  // namespace vx
