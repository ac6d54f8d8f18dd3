#include "server/store/agent_id.h"

namespace vx::server {

std::string AgentIdHex(const AgentId& id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(32);
  for (uint8_t byte : id) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<AgentId> ParseAgentId(std::string_view text) {
  if (text.size() != 32) return std::nullopt;
  AgentId id{};
  for (std::size_t i = 0; i < id.size(); ++i) {
    const int high = DigitValue(text[2 * i]);
    const int low = DigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    id[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return id;
}

}  // namespace vx::server
