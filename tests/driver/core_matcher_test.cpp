#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver/core/rule_table.h"
#include "tests/driver/reference_matcher.h"
#include "tests/driver/rule_builder.h"

namespace {

using namespace vx::driver;
using vx::test::MakeIdentity;
using vx::test::MakeRule;

int Evaluate(const std::vector<USB_RULE>& rules, const DEVICE_IDENTITY& id) {
  auto table = std::make_unique<RULE_TABLE>();
  InitRuleTable(table.get());
  EXPECT_TRUE(SetRules(table.get(), rules.data(), static_cast<uint32_t>(rules.size() * sizeof(USB_RULE))));
  PREPARED_IDENTITY prepared;
  PrepareIdentity(&id, &prepared);
  const int fast = EvaluateRules(table.get(), &prepared);
  EXPECT_EQ(fast, vx::test::ReferenceEvaluateRules(rules.data(), static_cast<unsigned>(rules.size()), id));
  return fast;
}

struct FieldCase {
  const char* text;
  const char* pattern;
  bool exact;
  bool matches;
};

TEST(MatchField, CaseInsensitiveSubstringAndExactEquality) {
  const FieldCase cases[] = {
      {"Kingston", "king", false, true},
      {"Kingston", "king", true, false},
      {"KING", "king", true, true},
      {"king", "KING", true, true},
      {"Kingston", "STON", false, true},
      {"Kingston", "stonx", false, false},
      {"Kingston", "", false, true},
      {"", "", false, false},
      {"", "a", false, false},
      {"Kingston", "", true, false},
      {"", "", true, false},
      {"Flash Drive", "Flash_Drive", false, false},
      {"aaab", "aab", false, true},
      {"ab", "abc", false, false},
      {"x[y", "X[Y", true, true},
      {"a{b", "A[B", false, false},  // only a to z fold
  };
  for (const FieldCase& c : cases) {
    char text[64] = {};
    char pattern[64] = {};
    std::strncpy(text, c.text, 63);
    std::strncpy(pattern, c.pattern, 63);
    PREPARED_TEXT t;
    PREPARED_PATTERN p;
    PrepareText(text, &t);
    PreparePattern(pattern, &p);
    EXPECT_EQ(MatchField(&t, &p, c.exact), c.matches) << c.text << " / " << c.pattern << " exact " << c.exact;
    EXPECT_EQ(vx::test::ReferenceMatchField(text, pattern, c.exact), c.matches) << c.text << " / " << c.pattern;
  }
}

TEST(MatchField, PatternWithoutZeroIsReadAs64CharactersAndNeverMatchesExactly) {
  char full[64];
  std::memset(full, 'A', sizeof full);
  PREPARED_PATTERN p;
  PreparePattern(full, &p);
  char text[64] = {};
  std::memset(text, 'a', 63);
  PREPARED_TEXT t;
  PrepareText(text, &t);
  EXPECT_FALSE(MatchField(&t, &p, false));  // 64 characters cannot occur in 63
  EXPECT_FALSE(MatchField(&t, &p, true));
  // The prefix of 63 does occur.
  char prefix[64] = {};
  std::memset(prefix, 'A', 63);
  PreparePattern(prefix, &p);
  EXPECT_EQ(FindNoCase(&t, &p), 0);
  EXPECT_TRUE(MatchField(&t, &p, true));
}

TEST(EvaluateRules, FirstMatchingRuleDecides) {
  const DEVICE_IDENTITY kingston = MakeIdentity("Kingston", "DataTraveler", "PMAP", "0011");
  EXPECT_EQ(Evaluate({}, kingston), ACTION_ALLOW);
  EXPECT_EQ(Evaluate({MakeRule(RULE_CHECK_VENDOR, ACTION_BLOCK, "king")}, kingston), ACTION_BLOCK);
  EXPECT_EQ(Evaluate({MakeRule(RULE_CHECK_VENDOR | RULE_EXACT_VENDOR, ACTION_BLOCK, "king")}, kingston), ACTION_ALLOW);
  EXPECT_EQ(Evaluate({MakeRule(RULE_CHECK_VENDOR | RULE_EXACT_VENDOR, ACTION_BLOCK, "king")},
                     MakeIdentity("KING", "", "", "")),
            ACTION_BLOCK);
  // A rule without check bits decides at once, whatever follows.
  EXPECT_EQ(Evaluate({MakeRule(0, ACTION_READ_ONLY), MakeRule(RULE_CHECK_VENDOR, ACTION_BLOCK, "king")}, kingston),
            ACTION_READ_ONLY);
  // Of two matching rules the earlier one decides.
  EXPECT_EQ(Evaluate({MakeRule(RULE_CHECK_PRODUCT, ACTION_READ_ONLY, "data"), MakeRule(0, ACTION_BLOCK)}, kingston),
            ACTION_READ_ONLY);
  // Every checked field must match; unchecked fields and exact bits without
  // their check bit are ignored.
  EXPECT_EQ(Evaluate({MakeRule(RULE_CHECK_VENDOR | RULE_CHECK_SERIAL, ACTION_BLOCK, "king", "", "", "99")}, kingston),
            ACTION_ALLOW);
  EXPECT_EQ(Evaluate({MakeRule(RULE_CHECK_VENDOR | RULE_EXACT_PRODUCT, ACTION_BLOCK, "king", "zzz")}, kingston),
            ACTION_BLOCK);
  // An empty device text never matches a checked field, even an empty pattern.
  EXPECT_EQ(Evaluate({MakeRule(RULE_CHECK_REVISION, ACTION_BLOCK)}, MakeIdentity("A", "B", "", "S")), ACTION_ALLOW);
  // Unknown actions and bits 8 to 31 pass through unchanged.
  EXPECT_EQ(Evaluate({MakeRule(0xFFFFFF00u, 77)}, kingston), 77);
}

// Random rule lists and identities over a small alphabet (so that matches are
// common): the fast matcher and the plain one agree on every verdict.
TEST(EvaluateRules, FastMatcherAgreesWithThePlainOneOnRandomTables) {
  std::mt19937 random(20260112);
  const std::string alphabet = "aAbB_ 1";
  auto randomText = [&](int maxLength) {
    std::string s(random() % (maxLength + 1), 'a');
    for (char& c : s) c = alphabet[random() % alphabet.size()];
    return s;
  };
  auto table = std::make_unique<RULE_TABLE>();
  InitRuleTable(table.get());
  for (int round = 0; round < 300; ++round) {
    std::vector<USB_RULE> rules(random() % 129);
    for (USB_RULE& rule : rules) {
      rule = MakeRule(random() & 0xFF, 1 + random() % 3, randomText(4), randomText(4), randomText(3), randomText(4));
      if (random() % 20 == 0) std::memset(rule.serial, 'a', 64);  // a field without a zero
    }
    ASSERT_TRUE(SetRules(table.get(), rules.data(), static_cast<uint32_t>(rules.size() * sizeof(USB_RULE))));
    for (int d = 0; d < 40; ++d) {
      const DEVICE_IDENTITY id = MakeIdentity(randomText(8), randomText(8), randomText(3), randomText(63));
      PREPARED_IDENTITY prepared;
      PrepareIdentity(&id, &prepared);
      ASSERT_EQ(EvaluateRules(table.get(), &prepared),
                vx::test::ReferenceEvaluateRules(rules.data(), static_cast<unsigned>(rules.size()), id))
          << "round " << round << " device " << d;
      // Each field on its own, both modes.
      for (size_t r = 0; r < rules.size() && r < 8; ++r) {
        PREPARED_PATTERN p;
        PreparePattern(rules[r].product, &p);
        for (bool exact : {false, true}) {
          ASSERT_EQ(MatchField(&prepared.product, &p, exact),
                    vx::test::ReferenceMatchField(id.product, rules[r].product, exact));
        }
        ASSERT_EQ(FindNoCase(&prepared.product, &p), vx::test::ReferenceFindNoCase(id.product, rules[r].product));
      }
    }
  }
}

TEST(SetRules, AcceptsWholeListsOfUpTo128AndRefusesTheRest) {
  auto table = std::make_unique<RULE_TABLE>();
  InitRuleTable(table.get());
  EXPECT_EQ(table->ruleGeneration, 1u);
  std::vector<USB_RULE> rules(129, MakeRule(0, ACTION_BLOCK));

  EXPECT_TRUE(SetRules(table.get(), rules.data(), 128 * sizeof(USB_RULE)));
  EXPECT_EQ(table->ruleCount, 128u);
  EXPECT_EQ(table->ruleGeneration, 2u);

  const struct {
    uint32_t bytes;
    const char* what;
  } refused[] = {{129 * sizeof(USB_RULE), "129 records"}, {265, "265 bytes"}, {263, "263 bytes"}, {1, "1 byte"}};
  for (const auto& r : refused) {
    EXPECT_FALSE(SetRules(table.get(), rules.data(), r.bytes)) << r.what;
    EXPECT_EQ(table->ruleCount, 128u) << r.what;
    EXPECT_EQ(table->ruleGeneration, 2u) << r.what;
  }
  EXPECT_EQ(RuleCountOf(265), 1u);

  // Zero bytes empties the list and still advances the generation, as does
  // an identical list.
  EXPECT_TRUE(SetRules(table.get(), nullptr, 0));
  EXPECT_EQ(table->ruleCount, 0u);
  EXPECT_EQ(table->ruleGeneration, 3u);
  EXPECT_TRUE(SetRules(table.get(), nullptr, 0));
  EXPECT_EQ(table->ruleGeneration, 4u);
}

}  // namespace
