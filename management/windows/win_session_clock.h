// The session clock on Windows: the system's wall clock and Sleep.
#pragma once

#include "management/session_clock.h"

namespace vx::management {

class WinSessionClock final : public SessionClock {
 public:
  int64_t WallSeconds() override;
  void SleepMilliseconds(uint32_t milliseconds) override;
  void YieldTimeSlice() override;
};

}  // namespace vx::management
