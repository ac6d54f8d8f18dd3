#include "management/windows/win_session_clock.h"

#include <windows.h>

namespace vx::management {

int64_t WinSessionClock::WallSeconds() {
  // 100-ns intervals since 1601-01-01; 11,644,473,600 seconds before 1970.
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t intervals = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<int64_t>(intervals / 10000000) - 11644473600LL;
}

void WinSessionClock::SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

void WinSessionClock::YieldTimeSlice() { Sleep(0); }

}  // namespace vx::management
