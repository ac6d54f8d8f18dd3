// ManagementClientThread: keeps one connection to the management server for
// as long as the service runs. Per connection it sends a keep-alive on the
// first turn and every 120 seconds after, a report notice at most every 10
// seconds when the monitor stored rows since the last one, and handles at
// most one server message a turn, a turn every 100 ms. A broken connection
// is followed by a new attempt at once, a failed attempt by a 5-second wait.
#pragma once

#include <cstdint>

#include "management/client_context.h"

namespace vx::management {

inline constexpr uint32_t kKeepAliveIntervalSeconds = 120;
inline constexpr uint32_t kReportCheckIntervalSeconds = 10;
inline constexpr uint32_t kTurnSleepMs = 100;
inline constexpr uint32_t kConnectRetryMs = 5000;

// The thread routine. Returns -1 when the network layer cannot be started
// (no connection is ever tried), 0 when serviceRunning went false or the
// server mode is not 1.
int ManagementClientThread(ClientContext& context);

}  // namespace vx::management
