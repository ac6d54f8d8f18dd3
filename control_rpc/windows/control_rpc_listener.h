// The control interface's listener on Windows.
#pragma once

#include "control_rpc/operations.h"
#include "monitor/monitor_loop.h"
#include "platform/registry.h"

namespace vx {

// Serves the control interface over `shared`'s policy and device queue, with
// the language read through `registry` and policy changes kept for
// Administrators and LocalSystem, on a thread of its own that listens until
// StopControlRpcListener. Returns at once. Call it once, after the policy is
// loaded (MonitorEnvironment::startControlRpcListener). `shared` and
// `registry` must outlive every call: the service never frees them.
void StartControlRpcListener(MonitorShared& shared, const Registry& registry);

// Stops the listener and returns once no call of the interface is in
// progress (true), or after about ten seconds when the listener does not end
// (false). A listener not started yet never starts afterwards.
[[nodiscard]] bool StopControlRpcListener();

// The thread routine: registers the endpoint and the interface and listens
// until a stop. Ends the process with the run time's status when any of
// those calls fails. The operations must have been set with
// UseControlOperations first.
void ControlRpcListener();

// The operations the server routines forward to (kept for the process's life).
void UseControlOperations(ControlOperations* operations);

}  // namespace vx
