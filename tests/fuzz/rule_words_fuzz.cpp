// Rules in words from anyone at a command line or an API: any text either
// parses into a rule whose printed words read back to the same bytes (and
// print the same again), or is refused naming a word that stands in the text.
// Any 264-byte record gives words (read back to a rule that matches as the
// record does) or none when a checked field cannot be said in words, without
// reading past its fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "policy/rule_words.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool SameBytes(const USB_RULE& a, const USB_RULE& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void CheckWords(std::string_view text) {
  const vx::ParsedRuleWords parsed = vx::ParseRuleWords(text);
  if (!parsed.rule) {
    Check(!parsed.message.empty());
    Check(parsed.word.empty() || text.find(parsed.word) != std::string_view::npos);
    return;
  }
  const std::optional<std::string> words = vx::RuleWords(*parsed.rule);
  Check(words.has_value());
  const vx::ParsedRuleWords again = vx::ParseRuleWords(*words);
  Check(again.rule && SameBytes(*again.rule, *parsed.rule));
  Check(vx::RuleWords(*again.rule) == words);
}

void CheckRecord(const uint8_t* data) {
  USB_RULE rule;
  std::memcpy(&rule, data, sizeof rule);
  (void)vx::RuleLine(rule);  // only that it stays within the record
  const std::optional<std::string> words = vx::RuleWords(rule);
  bool carried = true;  // no checked field too long or with a control character
  for (int i = 0; i < vx::kRuleFieldCount; ++i)
    if ((rule.flags & vx::kRuleFields[i].checkBit) && vx::PatternFault(i, vx::RuleFieldText(rule, i))) carried = false;
  Check(words.has_value() == carried);
  if (!words) return;
  const vx::ParsedRuleWords parsed = vx::ParseRuleWords(*words);
  Check(parsed.rule.has_value());
  // What matches is kept: the action as enforced, and each checked field with its text and exactness.
  const int32_t enforced = rule.action == ACTION_BLOCK || rule.action == ACTION_READ_ONLY ? rule.action : ACTION_ALLOW;
  Check(parsed.rule->action == enforced);
  for (int i = 0; i < vx::kRuleFieldCount; ++i) {
    const vx::RuleField& field = vx::kRuleFields[i];
    const bool checked = rule.flags & field.checkBit;
    Check(static_cast<bool>(parsed.rule->flags & field.checkBit) == checked);
    if (!checked) continue;
    Check(static_cast<bool>(parsed.rule->flags & field.exactBit) == static_cast<bool>(rule.flags & field.exactBit));
    Check(vx::RuleFieldText(*parsed.rule, i) == vx::RuleFieldText(rule, i));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  CheckWords(std::string_view(reinterpret_cast<const char*>(data), size));
  if (size >= sizeof(USB_RULE)) CheckRecord(data);
  return 0;
}
