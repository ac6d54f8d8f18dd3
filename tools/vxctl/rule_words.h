// USB storage rules in words, and the words a person types for them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/filter_control.h"

namespace vx {

// "block", "read-only", "allow"; any other code is enforced as allow and
// reads "allow (action N)".
std::string ActionWords(int32_t action);

// The action code of "block", "read-only" or "allow".
std::optional<int32_t> ParseAction(std::string_view word);

// The four fields a rule can check, in record order, with their bits.
struct RuleField {
  const char* name;  // "vendor", "product", "revision", "serial"
  uint32_t checkBit;
  uint32_t exactBit;
};
inline constexpr RuleField kRuleFields[] = {
    {"vendor", RULE_CHECK_VENDOR, RULE_EXACT_VENDOR},
    {"product", RULE_CHECK_PRODUCT, RULE_EXACT_PRODUCT},
    {"revision", RULE_CHECK_REVISION, RULE_EXACT_REVISION},
    {"serial", RULE_CHECK_SERIAL, RULE_EXACT_SERIAL},
};

// The pattern of field `index` (0 vendor .. 3 serial), never past its 64 bytes.
std::string_view RuleFieldText(const USB_RULE& rule, int index);

// What the rule matches: `vendor contains "SanDisk" and serial is "4C53"`,
// or "every disk" for a rule that checks nothing.
std::string MatchWords(const USB_RULE& rule);

}  // namespace vx
