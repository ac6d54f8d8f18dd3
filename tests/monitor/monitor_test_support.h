// A monitor over fakes: registry, scripted drivers, a list of USB disks and a
// clock that never waits.
#pragma once

#include <string>
#include <vector>

#include "monitor/monitor_loop.h"
#include "tests/monitor/fake_devices.h"
#include "tests/support/fake_registry.h"
#include "tests/support/temp_dir.h"

namespace vx::test {

class ListUsbStorageSource final : public UsbStorageSource {
 public:
  std::vector<std::u16string> names;
  std::vector<std::u16string> PresentDiskKeyNames() override { return names; }
};

class CountingClock final : public Clock {
 public:
  int sleeps = 0;
  uint64_t sleptMs = 0;
  std::function<void()> onSleep;
  void SleepMilliseconds(uint32_t milliseconds) override {
    ++sleeps;
    sleptMs += milliseconds;
    if (onSleep) onSleep();
  }
};

inline std::u16string DiskKeyName(const char* vendor, const char* product, const char* serial) {
  std::string name = std::string("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USBSTOR\\Disk&Ven_") + vendor +
                     "&Prod_" + product + "&Rev_1.00\\" + serial + "&0";
  return std::u16string(name.begin(), name.end());
}

// The install directory as the registry holds it: a native path that ends
// in a backslash, so that data files land in the temporary directory.
inline std::wstring InstallPathFor(const std::filesystem::path& directory) {
  const std::string text = directory.string() + "\\";
  return std::wstring(text.begin(), text.end());
}

class MonitorFixture {
 public:
  MonitorFixture() { registry.WriteValue(kProductKeyPath, L"InstallPath", StringValue(InstallPathFor(dir.path()))); }

  MonitorEnvironment Environment(DeviceChannel& channel) {
    return MonitorEnvironment{
        .registry = registry,
        .devices = channel,
        .usbStorage = usb,
        .clock = clock,
        .debugOutput = [this](const char* line) { debugLines.emplace_back(line); },
    };
  }

  TempDir dir;
  FakeRegistry registry;
  ListUsbStorageSource usb;
  CountingClock clock;
  std::vector<std::string> debugLines;
  MonitorShared shared;
};

}  // namespace vx::test
