// The rule list as text: each USB_RULE's 264 bytes in memory order, two
// hexadecimal digits per byte, high digit first (528 characters a rule).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/filter_control.h"

namespace vx {

inline constexpr std::size_t kRuleTextChars = 2 * sizeof(USB_RULE);  // 528
// 124 whole rules fit in a 65,535-character text field.
inline constexpr std::size_t kMaxTextRules = 124;

// Encodes `count` records as upper-case digits (count * 528 characters).
[[nodiscard]] std::string RulesToHex(const USB_RULE* records, std::size_t count);

// Decodes the first byteCount * 2 characters of `text` into byteCount bytes.
// Either case is accepted; any other character counts as 0 for its half of
// the byte. The caller guarantees text.size() >= 2 * byteCount.
void HexToRules(std::string_view text, void* buffer, std::size_t byteCount);

// The rule list text of `rules` (RulesToHex), or nullopt when they are more
// than a text field holds (kMaxTextRules).
[[nodiscard]] std::optional<std::string> RuleListText(std::span<const USB_RULE> rules);

// The whole rules of a text, in order; a trailing partial rule is left out.
[[nodiscard]] std::vector<USB_RULE> RuleListOfText(std::string_view text);

// Number of whole rules in a text: its length / 528, rounded down.
[[nodiscard]] inline std::size_t RuleCountOf(std::string_view text) { return text.size() / kRuleTextChars; }

}  // namespace vx
