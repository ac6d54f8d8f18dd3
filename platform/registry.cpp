#include "platform/registry.h"

namespace vx {

std::optional<std::string> SingleByteText(const RegistryValue& value) {
  if (value.type != kRegistryString && value.type != kRegistryExpandString) return std::nullopt;
  std::string text;
  for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
    const uint16_t unit = static_cast<uint16_t>(value.data[i] | (value.data[i + 1] << 8));
    if (unit == 0) break;
    if (unit > 0xFF) return std::nullopt;
    text.push_back(static_cast<char>(unit));
  }
  return text;
}

RegistryValue StringValue(std::wstring_view text) {
  RegistryValue value;
  value.type = kRegistryString;
  for (wchar_t c : text) {
    const auto unit = static_cast<uint16_t>(c);
    value.data.push_back(static_cast<uint8_t>(unit & 0xFF));
    value.data.push_back(static_cast<uint8_t>(unit >> 8));
  }
  value.data.push_back(0);
  value.data.push_back(0);
  return value;
}

}  // namespace vx
