// Everything the management client's thread works with: the settings, the
// process-wide values it reads or changes, and the platform seams. The
// service builds one at the monitor's start point
// (management/windows/start_management_client.h); tests build their own over
// real loopback sockets, a fake clock and a status table.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "management/management_settings.h"
#include "management/protocol/message_catalogue.h"
#include "management/session_clock.h"
#include "management/socket_layer.h"
#include "management/status_source.h"
#include "management/update_installer.h"
#include "policy/policy_store.h"

namespace vx::management {

// A connection to the server was established (after an accepted hello) or
// has ended; `serverAddress` is the address it went to (see ResolveIpv4).
struct ConnectionEvent {
  bool established = false;
  uint32_t serverAddress = 0;
  uint16_t serverPort = 0;
};

struct ClientContext {
  ManagementSettings settings;
  const std::atomic<bool>& serviceRunning;
  const std::atomic<int32_t>& reportsStored;
  PolicyStore& policy;
  std::wstring installDir;  // ends with a backslash
  SocketLayer& sockets;
  SessionClock& clock;
  StatusSource& status;
  UpdateInstaller& installer;
  // Called on the client's thread when a connection is established and when
  // it ends; may be empty.
  std::function<void(const ConnectionEvent&)> onConnection;
  // The server's port; tests on loopback use a free one.
  uint16_t serverPort = kServerPort;
};

}  // namespace vx::management
