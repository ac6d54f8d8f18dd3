// What the status record reports about the machine: GetTickCount,
// GetComputerNameW, GetSystemPowerStatus and GetVersion on Windows
// (management/windows/win_status_source.h); a table in tests.
#pragma once

#include <cstdint>
#include <string>

namespace vx::management {

// ACLineStatus of the power status: 0 offline (on battery), 1 online, 255
// unknown.
inline constexpr uint8_t kAcLineOffline = 0;

class StatusSource {
 public:
  virtual ~StatusSource() = default;
  // Milliseconds since the system started (wraps after 49.7 days).
  [[nodiscard]] virtual uint32_t TickCount() = 0;
  // The computer name, read with room for 64 UTF-16 units with the
  // terminator; empty when it cannot be read.
  [[nodiscard]] virtual std::u16string ComputerName() = 0;
  [[nodiscard]] virtual uint8_t AcLineStatus() = 0;
  // GetVersion's value, unchanged.
  [[nodiscard]] virtual uint32_t Version() = 0;
};

}  // namespace vx::management
