#include "monitor/monitor_loop.h"

#include <string_view>

#include "monitor/driver_steps.h"
#include "monitor/install_dir.h"

namespace vx {
namespace {

// The policy values one pass sends to the drivers, read together with their
// generation.
struct DriverSettings {
  std::string ruleText;
  bool lockCdDvd = false;
  bool lockFloppy = false;
};

}  // namespace

Monitor::Monitor(MonitorEnvironment environment, MonitorShared& shared)
    : environment_(std::move(environment)), shared_(shared) {}

void Monitor::StartUp() {
  shared_.installDir = ReadInstallDir(environment_.registry);
  shared_.policy = std::make_unique<PolicyStore>(DataFilePath(shared_.installDir, L"configdb.dat"));
  shared_.policy->LoadPolicy();
  reports_.emplace(DataFilePath(shared_.installDir, L"reportdb.dat"));
  if (environment_.startControlRpcListener) environment_.startControlRpcListener(shared_);
  if (environment_.serverMode == 1 && !shared_.managementClientStarted.exchange(true) &&
      environment_.startManagementClient)
    environment_.startManagementClient(shared_);
  previousDevices_.clear();
}

void Monitor::RunPass() {
  PolicyStore& policy = *shared_.policy;
  bool stored = false;

  // Accepted by both drivers, as monitor_loop.h states it: one reading of
  // the policy with its generation serves both drivers.
  const bool changed = policy.PolicyChanged();
  uint64_t generation = 0;
  DriverSettings settings;
  if (changed) {
    settings = policy.ReadWithGeneration(
        [](const PolicyState& s) {
          return DriverSettings{std::string(FieldText(s.ruleUsb)), s.lockCdDvd != 0, s.lockFloppy != 0};
        },
        generation);
  }

  DriverStepResult lock = RunLockDriverStep(environment_.devices, changed, settings.lockCdDvd, settings.lockFloppy);
  StoreRows(lock.rows, stored);

  DriverStepResult filter =
      RunFilterDriverStep(environment_.devices, changed, settings.ruleText, environment_.debugOutput, filterLogBuffer_);
  StoreRows(filter.rows, stored);

  InventoryStep();

  // When a change arrived meanwhile the clear is refused and the flag stays
  // set for the next pass: that refusal is the point, so its result needs no
  // handling here.
  const bool acceptedByBoth = lock.accepted && filter.accepted;
  if (changed && acceptedByBoth) (void)policy.ClearPolicyChanged(generation);
  if (stored) shared_.reportsStored.fetch_add(1);
}

void Monitor::StoreRows(const std::vector<ReportRow>& rows, bool& stored) {
  // Rows kept from a failed batch are retried even when a driver has nothing new.
  if (rows.empty() && reports_->PendingRows() == 0) return;
  if (reports_->StoreBatch(rows) > 0) stored = true;
}

void Monitor::InventoryStep() {
  std::vector<USB_RULE> currentDevices = EnumerateUsbStorage(environment_.usbStorage);
  std::optional<std::string> ruleText;  // read only when a disk is new
  for (const auto& disk : currentDevices) {
    if (WasPresent(disk, previousDevices_)) continue;
    if (!ruleText)
      ruleText = shared_.policy->Read([](const PolicyState& s) { return std::string(FieldText(s.ruleUsb)); });
    QueueArrival(disk, *ruleText, shared_.newDeviceQueue);
  }
  previousDevices_ = std::move(currentDevices);
}

int Monitor::Run() {
  StartUp();
  while (shared_.serviceRunning.load()) {
    RunPass();
    environment_.clock.SleepMilliseconds(1000);
  }
  return 0;
}

int MonitorThread(MonitorEnvironment environment, MonitorShared& shared) {
  Monitor monitor(std::move(environment), shared);
  return monitor.Run();
}

}  // namespace vx
