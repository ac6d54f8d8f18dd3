// Time as the management client sees it: the wall clock in whole seconds and
// the two ways it waits. Tests give a clock of their own, so the 120-second
// keep-alive, the 10-second notice timer, the 5-second retry and the 30-second
// bounds run without waiting.
#pragma once

#include <cstdint>

namespace vx::management {

class SessionClock {
 public:
  virtual ~SessionClock() = default;
  // Seconds since 1970-01-01 00:00 UTC of the system's wall clock.
  [[nodiscard]] virtual int64_t WallSeconds() = 0;
  virtual void SleepMilliseconds(uint32_t milliseconds) = 0;
  // Gives up the rest of the time slice (a zero-length sleep).
  virtual void YieldTimeSlice() = 0;
};

}  // namespace vx::management
