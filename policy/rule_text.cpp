#include "policy/rule_text.h"

#include <cstdint>

namespace vx {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

constexpr uint8_t DigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return 0;
}

}  // namespace

std::string RulesToHex(const USB_RULE* records, std::size_t count) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(records);
  const std::size_t byteCount = count * sizeof(USB_RULE);
  std::string text(byteCount * 2, '\0');
  for (std::size_t i = 0; i < byteCount; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return text;
}

void HexToRules(std::string_view text, void* buffer, std::size_t byteCount) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  for (std::size_t i = 0; i < byteCount; ++i)
    bytes[i] = static_cast<uint8_t>(DigitValue(text[2 * i]) * 16 + DigitValue(text[2 * i + 1]));
}

std::optional<std::string> RuleListText(std::span<const USB_RULE> rules) {
  if (rules.size() > kMaxTextRules) return std::nullopt;
  return RulesToHex(rules.data(), rules.size());
}

std::vector<USB_RULE> RuleListOfText(std::string_view text) {
  std::vector<USB_RULE> rules(RuleCountOf(text));
  HexToRules(text, rules.data(), rules.size() * sizeof(USB_RULE));
  return rules;
}

}  // namespace vx
