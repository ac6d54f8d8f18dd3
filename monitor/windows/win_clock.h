// Clock over the Windows Sleep call.
#pragma once

#include "monitor/clock.h"

namespace vx {

class WinClock final : public Clock {
 public:
  void SleepMilliseconds(uint32_t milliseconds) override;
};

// The debugger output of the service (OutputDebugStringA).
void WriteDebugOutput(const char* text);

}  // namespace vx
