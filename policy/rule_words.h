// USB storage rules in words: the one model of how a person writes a rule and
// how a rule is shown, shared by vxctl, the management server's commands and
// its API.
//
// A rule in words is its action, then field and text pairs, then `exact
// FIELD` for each field whose whole text must match:
//
//   block vendor Acme
//   read-only product 'Cruzer Blade' serial 4C53 exact serial
//   allow                                  (checks nothing: every disk)
//
// Actions: block, read-only, allow. Fields: vendor, product, revision, serial,
// each given at most once. A text with blanks or quotes stands between single
// or double quotes; inside them the quote itself is written twice ('It''s').
// A text holds at most 63 characters and no control character. Words are
// separated by spaces or tabs; keywords are lower case.
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
inline constexpr int kRuleFieldCount = 4;
inline constexpr std::size_t kMaxPatternLength = USB_PATTERN_SIZE - 1;  // 63

// The index (0 vendor .. 3 serial) of a field's name, exactly as spelled in
// kRuleFields.
[[nodiscard]] std::optional<int> RuleFieldIndex(std::string_view name);

// The pattern of field `index` (0 vendor .. 3 serial), never past its 64
// bytes: a field without a zero reads as 64 characters.
std::string_view RuleFieldText(const USB_RULE& rule, int index);

// Why `text` cannot be the pattern of field `index`, or nullopt: a pattern
// holds at most 63 characters and no control character (bytes below 0x20,
// and 0x7F; a zero byte would end it early).
[[nodiscard]] std::optional<std::string> PatternFault(int index, std::string_view text);

// Makes the rule check field `index` against `text` (the pattern, with the
// rest of the field zero); refused with PatternFault's reason, the rule
// unchanged.
[[nodiscard]] std::optional<std::string> SetRulePattern(USB_RULE& rule, int index, std::string_view text);

// What the rule matches: `vendor contains "SanDisk" and serial is "4C53"`,
// or "every disk" for a rule that checks nothing. A control character in a
// pattern (possible in a rule made elsewhere) is written as \xHH.
std::string MatchWords(const USB_RULE& rule);

// The one way a rule is shown to a person in a list: the action padded to
// ten columns, then MatchWords, as in `block      vendor contains "SanDisk"`.
std::string RuleLine(const USB_RULE& rule);

// A rule read from words, or why not.
struct ParsedRuleWords {
  std::optional<USB_RULE> rule;
  std::string word;     // the word at fault, as typed ("" when the text ended early)
  std::string message;  // what is wrong, naming that word, and what to write instead
};

// Reads a rule in words (the grammar above). The rule has only the bits the
// words name, each pattern followed by zeros, and no other bytes set, so equal
// words always give equal bytes.
[[nodiscard]] ParsedRuleWords ParseRuleWords(std::string_view text);

// The rule in words, which ParseRuleWords reads back to the same bytes for
// every rule it makes. Other rules are written as the driver enforces them:
// an action other than block and read-only as allow, fields without their
// check bit and exact bits without a check bit left out. nullopt for a rule
// that words cannot carry: a checked field without a zero (64 characters) or
// with a control character. (Printing such a text another way would give
// words that read back to a different rule.)
[[nodiscard]] std::optional<std::string> RuleWords(const USB_RULE& rule);

}  // namespace vx
