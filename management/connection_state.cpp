#include "management/connection_state.h"

namespace vx::management {

void ConnectionState::Record(const ConnectionEvent& event, int64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.connected = event.established;
  state_.serverAddress = DottedAddress(event.serverAddress);
  state_.serverPort = event.serverPort;
  state_.changedAt = now;
  if (event.established) ++state_.connections;
}

ConnectionSnapshot ConnectionState::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

}  // namespace vx::management
