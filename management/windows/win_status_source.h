// The status record's machine values from the Windows calls.
#pragma once

#include "management/status_source.h"

namespace vx::management {

class WinStatusSource final : public StatusSource {
 public:
  uint32_t TickCount() override;
  std::u16string ComputerName() override;
  uint8_t AcLineStatus() override;
  uint32_t Version() override;
};

}  // namespace vx::management
