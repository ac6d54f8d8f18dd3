#include "server/store/agent_text.h"

namespace vx::server {

std::string AgentTextToUtf8(std::u16string_view units) {
  std::string text;
  text.reserve(units.size());
  for (char16_t unit : units) {
    const auto value = static_cast<uint32_t>(unit);
    if (value < 0x80) {
      text.push_back(static_cast<char>(value));
    } else if (value < 0x800) {
      text.push_back(static_cast<char>(0xC0 | (value >> 6)));
      text.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xE0 | (value >> 12)));
      text.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
  }
  return text;
}

std::u16string AgentTextUnits(std::string_view utf8) {
  std::u16string units;
  units.reserve(utf8.size());
  std::size_t i = 0;
  auto continuation = [&](std::size_t at) {
    return at < utf8.size() && (static_cast<uint8_t>(utf8[at]) & 0xC0) == 0x80;
  };
  while (i < utf8.size()) {
    const auto lead = static_cast<uint8_t>(utf8[i]);
    if (lead < 0x80) {
      units.push_back(lead);
      i += 1;
    } else if ((lead & 0xE0) == 0xC0 && continuation(i + 1)) {
      units.push_back(static_cast<char16_t>(((lead & 0x1F) << 6) | (static_cast<uint8_t>(utf8[i + 1]) & 0x3F)));
      i += 2;
    } else if ((lead & 0xF0) == 0xE0 && continuation(i + 1) && continuation(i + 2)) {
      units.push_back(static_cast<char16_t>(((lead & 0x0F) << 12) | ((static_cast<uint8_t>(utf8[i + 1]) & 0x3F) << 6) |
                                            (static_cast<uint8_t>(utf8[i + 2]) & 0x3F)));
      i += 3;
    } else {
      units.push_back(u'\uFFFD');
      i += 1;
    }
  }
  return units;
}

}  // namespace vx::server
