// The Registry seam over the Windows registry (HKEY_LOCAL_MACHINE).
#pragma once

#include "platform/registry.h"

namespace vx {

class WinRegistry final : public Registry {
 public:
  std::optional<RegistryValue> ReadValue(std::wstring_view keyPath, std::wstring_view valueName,
                                         std::size_t maxBytes) const override;
  bool WriteValue(std::wstring_view keyPath, std::wstring_view valueName, const RegistryValue& value) override;
};

}  // namespace vx
