#include "service/service_control.h"

namespace vx {

ServiceControl::ServiceControl(ServicePlatform& platform, std::atomic<bool>& serviceRunning,
                               std::function<void()> monitorThread)
    : platform_(platform), serviceRunning_(serviceRunning), monitorThread_(std::move(monitorThread)) {}

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
  serviceState_ = kStateStopped;
  Report(kStateStopped, kAcceptStopAndShutdown, 0, 0);
  platform_.CloseStopEvent();
  platform_.SleepMilliseconds(200);
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
    Report(kStateStopPending, 0, 1, 1000);
    serviceRunning_ = false;
    // The monitor tests the flag once a pass; a second lets it see the flag
    // before the service reports itself stopped.
    platform_.SleepMilliseconds(1000);
    platform_.SignalStopEvent();
    return;
  }
  const uint32_t state = serviceState_;
  const bool pending = state == kStateStartPending || state == kStateStopPending;
  Report(state, pending ? 0 : kAcceptStopAndShutdown, 0, 0);
}

}  // namespace vx
