// Where the simulated agents say what must not go unnoticed (a cursor
// regression: a server lost rows it had stored). vxfleet writes it to
// standard error; tests record it.
#pragma once

#include <string_view>

namespace vx::fleet {

class FleetLog {
 public:
  virtual ~FleetLog() = default;
  virtual void Warn(std::string_view text) = 0;
};

}  // namespace vx::fleet
