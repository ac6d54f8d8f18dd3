#include "management/windows/win_status_source.h"

#include <windows.h>

namespace vx::management {

uint32_t WinStatusSource::TickCount() { return GetTickCount(); }

std::u16string WinStatusSource::ComputerName() {
  wchar_t name[64] = {};
  DWORD size = 64;
  if (!GetComputerNameW(name, &size)) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(name), size < 64 ? size : 63);
}

uint8_t WinStatusSource::AcLineStatus() {
  SYSTEM_POWER_STATUS power{};
  if (!GetSystemPowerStatus(&power)) return 255;  // cannot tell
  return power.ACLineStatus;
}

uint32_t WinStatusSource::Version() { return GetVersion(); }

}  // namespace vx::management
