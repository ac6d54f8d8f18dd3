// The management client's start point in the service: the monitor calls it
// once, after the policy is loaded, when the server mode is 1
// (MonitorEnvironment::startManagementClient).
#pragma once

#include <functional>

#include "management/client_context.h"
#include "management/management_settings.h"
#include "monitor/monitor_loop.h"

namespace vx::management {

// Starts ManagementClientThread on a thread of its own over `shared`'s
// values (serviceRunning, reportsStored, the policy, installDir), a copy of
// `settings`, Winsock, the system clock, the Windows status calls and
// CreateProcessW. Returns at once; the thread is never joined, and what it
// uses lives for the rest of the process. `onConnection` may be empty.
void StartManagementClient(MonitorShared& shared, const ManagementSettings& settings,
                           std::function<void(const ConnectionEvent&)> onConnection);

}  // namespace vx::management
