#include "tools/vxctl/rule_words.h"

namespace vx {

std::string ActionWords(int32_t action) {
  switch (action) {
    case ACTION_BLOCK:
      return "block";
    case ACTION_READ_ONLY:
      return "read-only";
    case ACTION_ALLOW:
      return "allow";
    default:
      return "allow (action " + std::to_string(action) + ")";
  }
}

std::optional<int32_t> ParseAction(std::string_view word) {
  if (word == "block") return ACTION_BLOCK;
  if (word == "read-only") return ACTION_READ_ONLY;
  if (word == "allow") return ACTION_ALLOW;
  return std::nullopt;
}

std::string_view RuleFieldText(const USB_RULE& rule, int index) {
  const char* fields[] = {rule.vendor, rule.product, rule.revision, rule.serial};
  const char* text = fields[index];
  std::size_t length = 0;
  while (length < USB_PATTERN_SIZE && text[length] != '\0') ++length;
  return {text, length};
}

std::string MatchWords(const USB_RULE& rule) {
  std::string words;
  for (int i = 0; i < 4; ++i) {
    const RuleField& field = kRuleFields[i];
    if (!(rule.flags & field.checkBit)) continue;
    if (!words.empty()) words += " and ";
    words += field.name;
    words += (rule.flags & field.exactBit) ? " is \"" : " contains \"";
    words += RuleFieldText(rule, i);
    words += "\"";
  }
  return words.empty() ? "every disk" : words;
}

}  // namespace vx
