// Rules in words: what the words make, what they refuse (naming the word at
// fault), and that the printed words read back to the same bytes.
#include "policy/rule_words.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "policy/rule_text.h"
#include "tests/support/reference_policy.h"

namespace vx {
namespace {

bool SameBytes(const USB_RULE& a, const USB_RULE& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct ParseCase {
  const char* words;
  USB_RULE rule;
  const char* printed;  // RuleWords of the rule
};

TEST(RuleWords, ParseMakesExactlyTheRuleTheWordsName) {
  const std::string longest(63, 'L');
  const ParseCase cases[] = {
      {"allow", test::MakeRule("", "", "", "", 0, ACTION_ALLOW), "allow"},
      {"block vendor Acme", test::MakeRule("Acme", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK), "block vendor Acme"},
      {"read-only product 'Cruzer Blade' serial 4C53 exact serial",
       test::MakeRule("", "Cruzer Blade", "", "4C53", RULE_CHECK_PRODUCT | RULE_CHECK_SERIAL | RULE_EXACT_SERIAL,
                      ACTION_READ_ONLY),
       "read-only product 'Cruzer Blade' serial 4C53 exact serial"},
      // Fields in any order, printed in record order; exact after its field.
      {"block serial 1 exact serial vendor V revision 2.0 exact revision product P",
       test::MakeRule("V", "P", "2.0", "1",
                      RULE_CHECK_VENDOR | RULE_CHECK_PRODUCT | RULE_CHECK_REVISION | RULE_CHECK_SERIAL |
                          RULE_EXACT_REVISION | RULE_EXACT_SERIAL,
                      ACTION_BLOCK),
       "block vendor V product P revision 2.0 serial 1 exact revision exact serial"},
      {"  block\tvendor   Acme  ", test::MakeRule("Acme", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK),
       "block vendor Acme"},
      {"block vendor \"O'Neil\"", test::MakeRule("O'Neil", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK),
       "block vendor \"O'Neil\""},
      {"block vendor 'It''s \"x\"'", test::MakeRule("It's \"x\"", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK),
       "block vendor 'It''s \"x\"'"},
      {"block product \"say \"\"hi\"\"\"", test::MakeRule("", "say \"hi\"", "", "", RULE_CHECK_PRODUCT, ACTION_BLOCK),
       "block product 'say \"hi\"'"},
      // An empty pattern is a checked field all the same (exact: an empty text).
      {"allow serial '' exact serial",
       test::MakeRule("", "", "", "", RULE_CHECK_SERIAL | RULE_EXACT_SERIAL, ACTION_ALLOW),
       "allow serial '' exact serial"},
      // Keywords where a text belongs are texts.
      {"block vendor exact", test::MakeRule("exact", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK),
       "block vendor exact"},
      {"block vendor 'vendor' exact vendor",
       test::MakeRule("vendor", "", "", "", RULE_CHECK_VENDOR | RULE_EXACT_VENDOR, ACTION_BLOCK),
       "block vendor vendor exact vendor"},
  };
  for (const ParseCase& c : cases) {
    const ParsedRuleWords parsed = ParseRuleWords(c.words);
    ASSERT_TRUE(parsed.rule) << c.words << ": " << parsed.message;
    EXPECT_TRUE(SameBytes(*parsed.rule, c.rule)) << c.words << " -> " << RuleWords(*parsed.rule).value_or("?");
    EXPECT_EQ(RuleWords(c.rule), c.printed) << c.words;
  }
  // The longest pattern, and bytes above 0x7F as they are.
  ParsedRuleWords parsed = ParseRuleWords("block vendor " + longest + " product \xC4pfel");
  ASSERT_TRUE(parsed.rule) << parsed.message;
  EXPECT_EQ(RuleFieldText(*parsed.rule, 0), longest);
  EXPECT_EQ(RuleFieldText(*parsed.rule, 1), "\xC4pfel");
}

struct RefusalCase {
  std::string words;
  std::string faultWord;  // the word the message must name
};

TEST(RuleWords, RefusalsNameTheWordAtFault) {
  const RefusalCase cases[] = {
      {"", ""},
      {"  \t ", ""},
      {"deny vendor Acme", "deny"},
      {"Block", "Block"},
      {"'block'", "'block'"},
      {"read only", "read"},
      {"block colour red", "colour"},
      {"allow block", "block"},
      {"block 'vendor' Acme", "'vendor'"},
      {"block vendor", "vendor"},
      {"block vendor Acme serial", "serial"},
      {"block vendor A vendor B", "vendor"},
      {"block vendor " + std::string(64, 'x'), std::string(64, 'x')},
      {"block serial '" + std::string(70, ' ') + "'", "'" + std::string(70, ' ') + "'"},
      {"block exact serial", "serial"},
      {"block vendor A exact serial", "serial"},
      {"block vendor A exact", "exact"},
      {"block vendor A exact colour", "colour"},
      {"block vendor A exact 'vendor'", "'vendor'"},
      {"block vendor A exact vendor exact vendor", "vendor"},
      {"block vendor 'Cruzer Blade", "'Cruzer Blade"},
      {"block vendor \"Cruzer 'Blade'", "\"Cruzer 'Blade'"},
      {"block vendor 'a'b serial 1", "'a'b"},
      {std::string("block vendor a\x01z"), std::string("a\x01z")},
      {"block vendor 'a\tb'", "'a\tb'"},
      {"block vendor A\nproduct B", "A\nproduct"},
      {std::string("block vendor \x7F"), std::string("\x7F")},
  };
  for (const RefusalCase& c : cases) {
    const ParsedRuleWords parsed = ParseRuleWords(c.words);
    EXPECT_FALSE(parsed.rule) << c.words;
    EXPECT_EQ(parsed.word, c.faultWord) << c.words << ": " << parsed.message;
    EXPECT_FALSE(parsed.message.empty()) << c.words;
    if (!c.faultWord.empty()) {
      EXPECT_NE(parsed.message.find(c.faultWord), std::string::npos) << c.words << ": " << parsed.message;
    }
  }
  // The messages say what to write instead.
  EXPECT_EQ(ParseRuleWords("deny").message, "\"deny\" is not an action; a rule begins with block, read-only or allow");
  EXPECT_EQ(ParseRuleWords("block exact serial").message,
            "\"exact serial\" names a field the rule does not check; give serial TEXT before it");
  EXPECT_EQ(ParseRuleWords("block vendor " + std::string(64, 'x')).message,
            "\"" + std::string(64, 'x') + "\": the vendor text is 64 characters; a pattern holds at most 63");
}

// A rule that ParseRuleWords can make: an action, some checked fields with
// texts of up to 63 printable bytes (blanks and both quotes included), exact
// bits only on checked fields, every other byte zero.
USB_RULE RandomRule(std::mt19937& random) {
  static constexpr int32_t kActions[] = {ACTION_BLOCK, ACTION_READ_ONLY, ACTION_ALLOW};
  USB_RULE rule{};
  rule.action = kActions[random() % 3];
  char* fields[] = {rule.vendor, rule.product, rule.revision, rule.serial};
  for (int i = 0; i < kRuleFieldCount; ++i) {
    if (random() % 2) continue;
    rule.flags |= kRuleFields[i].checkBit;
    if (random() % 2) rule.flags |= kRuleFields[i].exactBit;
    const std::size_t length = random() % 64;
    for (std::size_t k = 0; k < length; ++k) {
      // Mostly the characters that need care (blank, quotes), then any printable byte.
      static constexpr char kTricky[] = {' ', '\'', '"', '\'', '"', 'e'};
      char c = random() % 3 == 0 ? kTricky[random() % sizeof kTricky] : static_cast<char>(0x20 + random() % 0xE0);
      if (c == 0x7F) c = 'x';
      fields[i][k] = c;
    }
  }
  return rule;
}

TEST(RuleWords, PrintedWordsReadBackToTheSameRule) {
  std::mt19937 random(20240611);
  for (int n = 0; n < 20000; ++n) {
    const USB_RULE rule = RandomRule(random);
    const std::optional<std::string> words = RuleWords(rule);
    ASSERT_TRUE(words);
    const ParsedRuleWords parsed = ParseRuleWords(*words);
    ASSERT_TRUE(parsed.rule) << *words << ": " << parsed.message;
    ASSERT_TRUE(SameBytes(*parsed.rule, rule)) << *words << " -> " << RuleWords(*parsed.rule).value_or("?");
    ASSERT_EQ(RuleWords(*parsed.rule), words);
  }
}

TEST(RuleWords, RulesMadeElsewhereArePrintedAsTheDriverEnforcesThem) {
  // An unknown action is enforced as allow; unchecked texts, exact bits
  // without a check and the ignored high bits do not change what matches.
  USB_RULE rule = test::MakeRule("SanDisk", "Cruzer", "1.26", "X", RULE_CHECK_VENDOR | RULE_EXACT_PRODUCT | 0xFF00u, 7);
  EXPECT_EQ(RuleWords(rule), "allow vendor SanDisk");
  EXPECT_EQ(RuleLine(rule), "allow (action 7) vendor contains \"SanDisk\"");

  // Texts that words cannot carry give no words, never words for another
  // rule: a field without its zero (64 characters) and a control character
  // (regression: once printed as '?', which read back as a different rule).
  std::memset(rule.vendor, 'V', sizeof rule.vendor);
  EXPECT_EQ(RuleWords(rule), std::nullopt);
  EXPECT_EQ(RuleFieldText(rule, 0), std::string(64, 'V'));
  USB_RULE control = test::MakeRule("a\x1b[31m", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK);
  EXPECT_EQ(RuleWords(control), std::nullopt);
  EXPECT_EQ(MatchWords(control), "vendor contains \"a\\x1B[31m\"");  // shown, not sent to the terminal
  control.flags = RULE_CHECK_PRODUCT;  // the control character in a field not checked does not matter
  EXPECT_EQ(RuleWords(control), "block product ''");
}

TEST(RuleWords, RuleLineIsThePaddedActionAndWhatMatches) {
  EXPECT_EQ(RuleLine(test::MakeRule("", "", "", "", 0, ACTION_ALLOW)), "allow      every disk");
  EXPECT_EQ(RuleLine(test::MakeRule("", "Cruzer Blade", "", "4C53",
                                    RULE_CHECK_PRODUCT | RULE_EXACT_PRODUCT | RULE_CHECK_SERIAL, ACTION_READ_ONLY)),
            "read-only  product is \"Cruzer Blade\" and serial contains \"4C53\"");
}

TEST(RuleWords, PatternsThroughTheModelForOtherFrontEnds) {
  USB_RULE rule = test::MakeRule("", "", "", "", 0, ACTION_BLOCK);
  EXPECT_FALSE(SetRulePattern(rule, 3, "4C53"));
  EXPECT_EQ(rule.flags, RULE_CHECK_SERIAL);
  const USB_RULE before = rule;
  EXPECT_EQ(SetRulePattern(rule, 0, std::string(64, 'v')),
            "the vendor text is 64 characters; a pattern holds at most 63");
  EXPECT_EQ(SetRulePattern(rule, 1, "a\tb"),
            "the product text holds a control character (0x09); a pattern holds printable characters only");
  EXPECT_TRUE(SameBytes(rule, before));  // refused: unchanged
  EXPECT_EQ(RuleFieldIndex("revision"), 2);
  EXPECT_FALSE(RuleFieldIndex("Revision"));
}

TEST(RuleListText, HoldsAtMost124RulesAndReadsBackWholeRules) {
  std::mt19937 random(3);
  std::vector<USB_RULE> rules;
  for (int i = 0; i < 125; ++i) rules.push_back(RandomRule(random));
  EXPECT_FALSE(RuleListText(rules));
  rules.pop_back();
  const std::optional<std::string> text = RuleListText(rules);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->size(), 124u * 528u);
  const std::vector<USB_RULE> decoded = RuleListOfText(*text + "0A0B");  // a partial rule is not a rule
  ASSERT_EQ(decoded.size(), rules.size());
  for (std::size_t i = 0; i < rules.size(); ++i) EXPECT_TRUE(SameBytes(decoded[i], rules[i])) << i;
  EXPECT_EQ(RuleListText({}), "");
  EXPECT_TRUE(RuleListOfText("").empty());
}

}  // namespace
}  // namespace vx
