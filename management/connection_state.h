// The management connection as the rest of the service can see it: whether
// the client is connected, to which address, and since when. The client's
// connection hook writes it (ClientContext::onConnection); a reader such as
// the control interface takes a copy.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "management/client_context.h"

namespace vx::management {

struct ConnectionSnapshot {
  bool connected = false;
  std::string serverAddress;  // "a.b.c.d" of the current or last connection; empty before the first
  uint16_t serverPort = 0;
  int64_t changedAt = 0;     // wall-clock seconds of the last change; 0 before the first
  uint32_t connections = 0;  // connections established since the service started
};

class ConnectionState {
 public:
  // Records an event of the client's hook at wall-clock second `now`.
  void Record(const ConnectionEvent& event, int64_t now);
  [[nodiscard]] ConnectionSnapshot Snapshot() const;

 private:
  mutable std::mutex mutex_;
  ConnectionSnapshot state_;
};

}  // namespace vx::management
