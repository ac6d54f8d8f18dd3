// The management connection as the rest of the service can see it: whether
// the client is connected, to which address, and since when. The client's
// connection hook writes it (ClientContext::onConnection) and the service
// publishes each snapshot for the administration tool (connection_record.h).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "management/client_context.h"
#include "management/connection_record.h"

namespace vx::management {

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
