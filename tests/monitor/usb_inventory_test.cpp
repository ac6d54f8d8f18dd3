#include "monitor/usb_inventory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "policy/rule_text.h"
#include "tests/support/reference_policy.h"

namespace vx {
namespace {

const std::u16string kPrefix = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\";

struct ParseCase {
  std::u16string name;
  std::string vendor, product, revision, serial;
};

TEST(ParseUsbStorageName, ReadsTheFourTextsFromTheKeyName) {
  const std::u16string vendor70(70, u'V');
  const std::vector<ParseCase> cases = {
      {kPrefix + u"USBSTOR\\Disk&Ven_Kingston&Prod_DataTraveler_2.0&Rev_1.00\\0019E06B9C85F9A0A7E50000&0", "Kingston",
       "DataTraveler 2.0", "1.00", "0019E06B9C85F9A0A7E50000"},
      {kPrefix + u"USBSTOR\\Disk&Ven_SanDisk&Prod_Cruzer_Blade&Rev_1.26\\7&2a3b4c5d&0", "SanDisk", "Cruzer Blade",
       "1.26", "7"},
      // Wine's wording of the same key.
      {u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Enum\\USBSTOR\\Disk&Ven_A&Prod_B&Rev_C\\S1", "A", "B", "C",
       "S1"},
      {kPrefix + u"USBSTOR\\Disk&Ven_" + vendor70 + u"&Prod_P&Rev_R\\S", std::string(63, 'V'), "P", "R", "S"},
      {kPrefix + u"USBSTOR\\Disk&Ven_A&Prod_B&Rev_C\\" + std::u16string(70, u'9'), "A", "B", "C", std::string(63, '9')},
      // Parts in another order, unknown parts skipped, a missing part stays empty.
      {kPrefix + u"USBSTOR\\Disk&Prod_P&Xyz_1&Ven_V\\SER\\more", "V", "P", "", "SER"},
      {kPrefix + u"USBSTOR\\Disk&Ven_&Prod_&Rev_\\", "", "", "", ""},
      {kPrefix + u"USBSTOR\\Disk&Ven_V", "V", "", "", ""},
      // Case counts: upper-case ids (as SetupDi hands them out) do not parse.
      {kPrefix + u"USBSTOR\\DISK&VEN_KINGSTON&PROD_DT&REV_1.00\\123&0", "Generic", "USB Disk", "1.0", "1"},
      {kPrefix + u"USBSTOR\\Disk&ven_x&Prod_P\\1", "", "P", "", "1"},
      {u"", "Generic", "USB Disk", "1.0", "1"},
      {u"USBSTOR\\Disk", "Generic", "USB Disk", "1.0", "1"},
      {u"USBSTOR\\Disk&", "", "", "", ""},
      // Characters above 0xFF keep their low 8 bits.
      {kPrefix + u"USBSTOR\\Disk&Ven_\u0141x&Prod_P&Rev_R\\S", "Ax", "P", "R", "S"},
  };
  for (const auto& c : cases) {
    const USB_RULE disk = ParseUsbStorageName(c.name);
    SCOPED_TRACE(c.vendor + "/" + c.product);
    EXPECT_EQ(disk.vendor, c.vendor);
    EXPECT_EQ(disk.product, c.product);
    EXPECT_EQ(disk.revision, c.revision);
    EXPECT_EQ(disk.serial, c.serial);
    EXPECT_EQ(disk.flags, 0u);
    EXPECT_EQ(disk.action, 0);
  }
}

TEST(IndexOfNoCase, FindsThePatternIgnoringAsciiCase) {
  struct Case {
    const char* text;
    const char* pattern;
    int index;
  };
  const Case cases[] = {{"", "", 0},
                        {"", "a", -1},
                        {"abc", "", 0},
                        {"Cruzer Blade", "cruzer", 0},
                        {"Cruzer Blade", "BLADE", 7},
                        {"Cruzer", "Cruzer Blade", -1},
                        {"aaab", "aab", 1},
                        {"abc", "abd", -1},
                        {"x\xC4y", "\xE4", -1},
                        {"ab", "ab", 0}};
  for (const auto& c : cases) EXPECT_EQ(IndexOfNoCase(c.text, c.pattern), c.index) << c.text << " / " << c.pattern;
}

struct DecideCase {
  const char* what;
  std::vector<USB_RULE> rules;
  int32_t action;
};

TEST(DecideDeviceAction, FirstMatchingRuleDecides) {
  using test::MakeRule;
  USB_RULE disk = MakeRule("SanDisk", "Cruzer Blade", "1.26", "4C530001", 0, 0);
  const std::vector<DecideCase> cases = {
      {"no rules", {}, ACTION_ALLOW},
      {"contained, any case", {MakeRule("", "cruzer", "", "", 0x02, 1)}, 1},
      {"exact needs the whole text", {MakeRule("", "cruzer", "", "", 0x22, 1)}, ACTION_ALLOW},
      {"exact ignores case", {MakeRule("", "CRUZER BLADE", "", "", 0x22, 2)}, 2},
      {"empty vendor pattern matches all", {MakeRule("", "", "", "", 0x01, 1)}, 1},
      {"exact empty pattern matches nothing here", {MakeRule("", "", "", "", 0x11, 1)}, ACTION_ALLOW},
      {"revision-only rule matches every disk", {MakeRule("", "", "9.99", "", 0x04, 2)}, 2},
      {"revision is not examined", {MakeRule("Kingston", "", "1.26", "", 0x05, 1)}, ACTION_ALLOW},
      {"exact bit without check bit", {MakeRule("nomatch", "", "", "", 0x10, 2)}, 2},
      {"all fields must match", {MakeRule("SanDisk", "Cruzer", "", "0002", 0x0B, 1)}, ACTION_ALLOW},
      {"serial exact", {MakeRule("", "", "", "4c530001", 0x88, 1)}, 1},
      {"first match wins",
       {MakeRule("Kingston", "", "", "", 0x01, 1), MakeRule("san", "", "", "", 0x01, 2),
        MakeRule("", "", "", "", 0, 1)},
       2},
      {"other action values are kept", {MakeRule("", "", "", "", 0, 42)}, 42},
      {"bits above 7 are ignored", {MakeRule("nomatch", "", "", "", 0xFFFFFF00u, 2)}, 2},
  };
  for (const auto& c : cases) {
    const std::string text = RulesToHex(c.rules.data(), c.rules.size());
    EXPECT_EQ(DecideDeviceAction(disk, text), c.action) << c.what;
  }
}

// The decoding buffer holds the driver's 128 rules: a longer text (which the
// policy field cannot hold, but a caller may pass) is read up to rule 128 and
// no further.
TEST(DecideDeviceAction, ATextOfMoreThan128RulesIsDecodedUpToTheBound) {
  const USB_RULE disk = test::MakeRule("SanDisk", "Cruzer Blade", "1.26", "4C530001", 0, 0);
  const USB_RULE miss = test::MakeRule("Kingston", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK);
  const USB_RULE hit = test::MakeRule("SanDisk", "", "", "", RULE_CHECK_VENDOR, ACTION_READ_ONLY);
  struct Case {
    std::size_t rules;
    std::size_t firstMatch;  // index of the one matching rule
    int32_t action;
  };
  const Case cases[] = {
      {130, 127, ACTION_READ_ONLY},  // the last rule within the bound
      {130, 128, ACTION_ALLOW},      // the first rule past it is never read
      {1000, 999, ACTION_ALLOW},
  };
  for (const auto& c : cases) {
    std::vector<USB_RULE> rules(c.rules, miss);
    rules[c.firstMatch] = hit;
    EXPECT_EQ(DecideDeviceAction(disk, RulesToHex(rules.data(), rules.size())), c.action)
        << c.rules << " rules, match at " << c.firstMatch;
  }
}

TEST(DecideDeviceAction, PatternsWithoutATerminatorAndTrailingPartialRules) {
  USB_RULE disk = test::MakeRule(std::string(63, 'A').c_str(), "P", "", "", 0, 0);
  USB_RULE rule = test::MakeRule("", "", "", "", RULE_CHECK_VENDOR, ACTION_BLOCK);
  std::memset(rule.vendor, 'a', sizeof rule.vendor);  // 64 characters: longer than any disk text
  EXPECT_EQ(DecideDeviceAction(disk, RulesToHex(&rule, 1)), ACTION_ALLOW);
  std::memset(rule.vendor, 0, sizeof rule.vendor);
  rule.vendor[0] = 'a';
  std::string text = RulesToHex(&rule, 1) + std::string(527, '0');  // a partial second rule is not counted
  EXPECT_EQ(DecideDeviceAction(disk, text), ACTION_BLOCK);
  EXPECT_EQ(DecideDeviceAction(disk, text.substr(0, 527)), ACTION_ALLOW);
}

}  // namespace
}  // namespace vx
