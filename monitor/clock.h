// Time as the monitor sees it, so that one-second passes run in tests
// without waiting.
#pragma once

#include <cstdint>

namespace vx {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void SleepMilliseconds(uint32_t milliseconds) = 0;
};

// Seconds since 1970-01-01 00:00 UTC of a local date and time, with daylight
// saving decided by the platform's time-zone rules (mktime), as a signed
// 32-bit number.
[[nodiscard]] int32_t LocalTimeToEpoch(int year, int month, int day, int hour, int minute, int second);

}  // namespace vx
