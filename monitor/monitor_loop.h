// MonitorThread: finds installDir, loads the policy, starts the control
// interface and the management client, then runs one pass a second until
// serviceRunning goes false. A pass brings both drivers up to date when the
// policy changed, stores their logs as report rows, and queues newly seen
// USB disks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/filter_control.h"
#include "monitor/clock.h"
#include "monitor/device_channel.h"
#include "monitor/device_queue.h"
#include "monitor/report_store.h"
#include "monitor/usb_inventory.h"
#include "platform/registry.h"
#include "policy/policy_store.h"

namespace vx {

// The process-wide values the monitor owns and the other threads use.
struct MonitorShared {
  std::atomic<bool> serviceRunning{false};
  std::atomic<int32_t> reportsStored{0};
  std::atomic<bool> managementClientStarted{false};
  std::wstring installDir;
  std::unique_ptr<PolicyStore> policy;  // set during start-up, before any listener starts
  DeviceQueue newDeviceQueue;
};

// What the monitor works through; every platform call is behind one of these.
// Built with designated initializers (`.registry = ...`), never by position:
// the start points and serverMode default to none and 0.
struct MonitorEnvironment {
  Registry& registry;
  DeviceChannel& devices;
  UsbStorageSource& usbStorage;
  Clock& clock;
  std::function<void(const char*)> debugOutput;
  // Start points of the control interface and the management client (on
  // threads of their own), each called once during start-up, the client's
  // only when serverMode is 1; either may be empty.
  std::function<void(MonitorShared&)> startControlRpcListener = {};
  std::function<void(MonitorShared&)> startManagementClient = {};
  uint32_t serverMode = 0;  // 1: a management server is configured
};

class Monitor {
 public:
  Monitor(MonitorEnvironment environment, MonitorShared& shared);

  // installDir, LoadPolicy, the listener and the management client.
  void StartUp();

  // One pass, without the sleep that follows it.
  //
  // Accepted by both drivers: this is the one statement of when the policy
  // has reached the drivers. When `policyChanged` is set, the pass reads the
  // policy once, together with its generation (PolicyStore::
  // ReadWithGeneration), and sends those values to both drivers: the two
  // lock codes to the lock driver, the rule list to the filter. A driver
  // accepted them when every code it was sent completed successfully
  // (DriverStepResult::accepted); a driver that cannot be opened or refuses a
  // code did not. Only when both accepted does the pass clear the flag, and
  // only for the generation it read (PolicyStore::ClearPolicyChanged): a
  // change applied meanwhile keeps the flag set. Otherwise the next pass
  // sends the settings to both drivers again.
  void RunPass();

  // StartUp, then passes a second apart while serviceRunning is set. 0.
  int Run();

 private:
  void StoreRows(const std::vector<ReportRow>& rows, bool& stored);
  void InventoryStep();

  MonitorEnvironment environment_;
  MonitorShared& shared_;
  std::optional<ReportStore> reports_;
  std::vector<USB_RULE> previousDevices_;
  std::vector<USB_LOG> filterLogBuffer_;
};

// The thread routine: runs a Monitor over `environment` and returns 0.
int MonitorThread(MonitorEnvironment environment, MonitorShared& shared);

}  // namespace vx
