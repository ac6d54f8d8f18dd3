#include "service/service_control.h"

namespace vx {

ServiceControl::ServiceControl(ServicePlatform& platform, std::atomic<bool>& serviceRunning,
                               std::function<void()> monitorThread, std::function<void()> stopServing)
    : platform_(platform),
      serviceRunning_(serviceRunning),
      monitorThread_(std::move(monitorThread)),
      stopServing_(std::move(stopServing)) {}

bool ServiceControl::Report(uint32_t state, uint32_t controls, uint32_t checkPoint, uint32_t waitHint) {
  return platform_.ReportStatus({state, controls, checkPoint, waitHint});
}

void ServiceControl::ServiceMain() {
  serviceRunning_ = false;
  if (!platform_.RegisterControlHandler()) {
    serviceState_ = kStateStopped;
    return;
  }
  serviceState_ = kStateStartPending;
  if (!Report(kStateStartPending, 0, 1, 200) || !platform_.CreateStopEvent() ||
      !Report(kStateStartPending, 0, 2, 200) || !StartMonitorThread()) {
    serviceState_ = kStateStopped;
    return;
  }
  serviceState_ = kStateRunning;
  if (!Report(kStateRunning, kAcceptStopAndShutdown, 0, 0)) {
    serviceState_ = kStateStopped;  // the monitor thread keeps running
    return;
  }
  platform_.WaitStopEvent();
  EndWork();
  serviceState_ = kStateStopped;
  // The service ends whether or not the manager takes this last report.
  (void)Report(kStateStopped, kAcceptStopAndShutdown, 0, 0);
  platform_.CloseStopEvent();
  platform_.SleepMilliseconds(200);
}

void ServiceControl::EndWork() {
  // The handler's check point was 1; each further second of waiting tells
  // the manager that the stop is still under way.
  uint32_t checkPoint = 1;
  for (uint32_t wait = 0; wait < kMonitorEndWaits && !platform_.WaitThreadEnd(1000); ++wait) {
    // A refused report changes nothing here: the wait goes on all the same.
    (void)Report(kStateStopPending, 0, ++checkPoint, kStopWaitHintMs);
  }
  // A monitor still in a pass after that keeps running until the process
  // ends; what it uses is never freed.
  if (stopServing_) stopServing_();
}

bool ServiceControl::StartMonitorThread() {
  serviceRunning_ = true;
  if (!platform_.StartThread(monitorThread_)) {
    serviceRunning_ = false;
    return false;
  }
  return true;
}

void ServiceControl::ServiceCtrlHandler(uint32_t control) {
  if (control == kControlStop || control == kControlShutdown) {
    serviceState_ = kStateStopPending;
    // A report the manager refuses cannot be reported either; the stop goes on.
    (void)Report(kStateStopPending, 0, 1, kStopWaitHintMs);
    serviceRunning_ = false;
    // The monitor tests the flag once a pass; a second lets it see the flag
    // before the service reports itself stopped.
    platform_.SleepMilliseconds(1000);
    platform_.SignalStopEvent();
    return;
  }
  const uint32_t state = serviceState_;
  const bool pending = state == kStateStartPending || state == kStateStopPending;
  // An interrogation's answer that the manager refuses has no one else to go to.
  (void)Report(state, pending ? 0 : kAcceptStopAndShutdown, 0, 0);
}

}  // namespace vx
