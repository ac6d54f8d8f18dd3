#include "platform/registry.h"

namespace vx {

std::u16string Utf16Units(const std::vector<uint8_t>& data) {
  std::u16string units(data.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  return units;
}

std::vector<uint8_t> Utf16Data(std::u16string_view units) {
  std::vector<uint8_t> data;
  data.reserve(units.size() * 2);
  for (char16_t unit : units) {
    data.push_back(static_cast<uint8_t>(unit & 0xFF));
    data.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return data;
}

std::u16string_view TextBeforeZero(std::u16string_view units) { return units.substr(0, units.find(u'\0')); }

std::optional<std::string> SingleByteText(const RegistryValue& value) {
  if (value.type != kRegistryString && value.type != kRegistryExpandString) return std::nullopt;
  const std::u16string units = Utf16Units(value.data);
  std::string text;
  for (char16_t unit : TextBeforeZero(units)) {
    if (unit > 0xFF) return std::nullopt;
    text.push_back(static_cast<char>(unit));
  }
  return text;
}

RegistryValue StringValue(std::wstring_view text) {
  std::u16string units(text.begin(), text.end());
  units.push_back(u'\0');
  return RegistryValue{kRegistryString, Utf16Data(units)};
}

}  // namespace vx
