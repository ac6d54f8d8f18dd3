// The control interface's listener on Windows.
#pragma once

#include "control_rpc/operations.h"
#include "monitor/monitor_loop.h"
#include "platform/registry.h"

namespace vx {

// Serves the control interface over `shared`'s policy and device queue, with
// the language read through `registry`, on a thread of its own that listens
// for the rest of the process's life. Returns at once. Call it once, after
// the policy is loaded (MonitorEnvironment::startControlRpcListener).
// `registry` must outlive the process's work.
void StartControlRpcListener(MonitorShared& shared, const Registry& registry);

// The thread routine: registers the endpoint and the interface and listens.
// Ends the process with the run time's status when any of those calls fails.
// The operations must have been set with UseControlOperations first.
void ControlRpcListener();

// The operations the server routines forward to (kept for the process's life).
void UseControlOperations(ControlOperations* operations);

}  // namespace vx
