#include "monitor/windows/win_clock.h"

#include <windows.h>

namespace vx {

void WinClock::SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

void WriteDebugOutput(const char* text) { OutputDebugStringA(text); }

}  // namespace vx
