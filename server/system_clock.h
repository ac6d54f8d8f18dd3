// The server's clock over the system's: steady time for time-outs, wall time
// for what is stored.
#pragma once

#include <chrono>

#include "server/session_environment.h"

namespace vx::server {

class SystemServerClock final : public ServerClock {
 public:
  int64_t SteadyMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  int64_t WallSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace vx::server
