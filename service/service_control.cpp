#include "service/service_control.h"

namespace vx {

ServiceControl::ServiceControl(ServicePlatform& platform, std::atomic<bool>& serviceRunning,
                               std::function<void()> monitorThread, std::function<void()> stopServing)
    : platform_(platform),
      serviceRunning_(serviceRunning),
      monitorThread_(std::move(monitorThread)),
      stopServing_(std::move(stopServing)) {}

// The stop of the service. This is the one description of it.
//
// Required, in this order:
// 1. The control handler reports stop pending (check point 1, wait hint
//    1000 ms) at once, so the service control manager knows the stop began,
//    then clears serviceRunning and gives the loops a second to see it
//    before it signals the stop event.
// 2. ServiceMain, released by the event, waits for the monitor thread
//    through the platform (ServicePlatform::WaitThreadEnd on the thread
//    StartThread made), one second at a time. Each second the thread has not
//    ended it reports stop pending again with the next check point, so the
//    manager sees the stop moving; after kMonitorEndWaits seconds it stops
//    waiting. A sleep alone would not do: a pass can outlast it (a busy
//    report database waits up to its busy timeout), and the stopped report
//    would then come while the pass still writes.
// 3. Then, and only then, it stops the control interface (`stopServing`): the
//    run time stops listening and the interface is unregistered once its
//    calls in progress have returned (bounded by the listener itself). After
//    the monitor, because the monitor started it; before the stopped report,
//    so that no local caller is served after the service says it stopped.
// 4. It reports stopped, closes the event and returns.
// The management client thread is not waited for: it ends at its next look
// at serviceRunning or with the process.
//
// Safe to interrupt, should the process end before a thread is done (a
// monitor that outlives its bound, a client mid-exchange, the system ending
// the process at shutdown):
// - the policy file: every save writes "configdb.dat.tmp", flushes it and
//   replaces "configdb.dat" in one step (rename, or MoveFileExW with replace
//   and write-through), so an interrupted save leaves the previous policy;
// - the report database: each batch is one SQLite transaction (BEGIN
//   IMMEDIATE ... COMMIT), so an interrupted batch is rolled back when the
//   database is next opened and the stored rows stay whole. What the process
//   still held in memory goes with it: the rows of a batch under way, and
//   any rows kept because the database refused them;
// - the drivers: a rule list or lock code sent again at the next start is
//   the same request, and log entries not yet collected stay in the drivers
//   for the next service run;
// - a pushed installer being written is never started unless every write of
//   it succeeded, and the next push writes it again.
// The process-wide state every thread uses is never freed, so a thread that
// outlives the stop never touches freed memory.

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

// Steps 2 and 3 of the stop (above).
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
  if (control == kControlStop || control == kControlShutdown) {  // step 1 of the stop (above)
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
