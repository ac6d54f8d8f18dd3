#include "tools/vxfleet/agent_identity.h"

#include <cstdio>

namespace vx::fleet {

ClientId MakeClientId(uint64_t prefix, uint64_t index) {
  ClientId id{};
  for (int i = 0; i < 8; ++i) {
    id[i] = static_cast<uint8_t>(prefix >> (56 - 8 * i));
    id[8 + i] = static_cast<uint8_t>(index >> (56 - 8 * i));
  }
  return id;
}

std::string ClientIdHex(const ClientId& id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * id.size());
  for (const uint8_t byte : id) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::string ComputerName(uint64_t index) {
  char text[32];
  std::snprintf(text, sizeof text, "FLEET-%05llu", static_cast<unsigned long long>(index));
  return text;
}

}  // namespace vx::fleet
