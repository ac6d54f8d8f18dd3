#include "policy/rule_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/support/reference_policy.h"

namespace vx {
namespace {

TEST(RuleText, AllowAllRuleIsZerosWithAThreeAt522) {
  USB_RULE rule{};
  rule.action = ACTION_ALLOW;
  const std::string text = RulesToHex(&rule, 1);
  ASSERT_EQ(text.size(), 528u);
  for (std::size_t i = 0; i < text.size(); ++i) EXPECT_EQ(text[i], i == 521 ? '3' : '0') << "digit " << i + 1;
}

TEST(RuleText, EncodesUpperCaseHighDigitFirstInMemoryOrder) {
  USB_RULE rule = test::MakeRule("\xAB\x01", "", "", "", 0x000000C5u, -2);
  const std::string text = RulesToHex(&rule, 1);
  EXPECT_EQ(text.substr(0, 6), "AB0100");
  EXPECT_EQ(text.substr(512, 8), "C5000000");  // flags, little-endian
  EXPECT_EQ(text.substr(520, 8), "FEFFFFFF");  // action -2
}

TEST(RuleText, RoundTripsArbitraryBytes) {
  std::mt19937 random(7);
  std::vector<USB_RULE> rules(124);
  auto* bytes = reinterpret_cast<uint8_t*>(rules.data());
  for (std::size_t i = 0; i < rules.size() * sizeof(USB_RULE); ++i) bytes[i] = static_cast<uint8_t>(random());
  const std::string text = RulesToHex(rules.data(), rules.size());
  ASSERT_EQ(text.size(), 65472u);
  std::vector<USB_RULE> decoded(rules.size());
  HexToRules(text, decoded.data(), text.size() / 2);
  EXPECT_EQ(0, std::memcmp(decoded.data(), rules.data(), rules.size() * sizeof(USB_RULE)));
}

struct DecodeCase {
  const char* text;
  uint8_t byte;
};

TEST(RuleText, DecodesEitherCaseAndTreatsOtherCharactersAsZero) {
  const DecodeCase cases[] = {
      {"0a", 0x0A}, {"0A", 0x0A}, {"0g", 0x00}, {"g0", 0x00}, {"Ff", 0xFF}, {"fF", 0xFF},
      {"z9", 0x09}, {"9z", 0x90}, {"  ", 0x00}, {"G1", 0x01}, {"1-", 0x10}, {"a:", 0xA0},
  };
  for (const auto& c : cases) {
    uint8_t byte = 0x5A;
    HexToRules(c.text, &byte, 1);
    EXPECT_EQ(byte, c.byte) << '"' << c.text << '"';
  }
}

TEST(RuleText, CountsWholeRulesOnly) {
  EXPECT_EQ(RuleCountOf(""), 0u);
  EXPECT_EQ(RuleCountOf(std::string(527, '0')), 0u);
  EXPECT_EQ(RuleCountOf(std::string(528, '0')), 1u);
  EXPECT_EQ(RuleCountOf(std::string(1000, '0')), 1u);
  EXPECT_EQ(RuleCountOf(std::string(65472, '0')), 124u);
  EXPECT_EQ(RuleCountOf(std::string(65535, '0')), 124u);
}

}  // namespace
}  // namespace vx
