// The small conversions a person sees: agent ids in hexadecimal, agent texts
// kept unit for unit, the Windows version, and where the store lives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/data_directory.h"
#include "server/store/agent_id.h"
#include "server/store/agent_text.h"
#include "server/store/windows_version.h"

namespace vx::server {
namespace {

TEST(AgentIdTest, ThirtyTwoLowercaseDigitsAndBack) {
  const AgentId id{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};
  EXPECT_EQ(AgentIdHex(id), "102132435465768798a9bacbdcedfe0f");
  EXPECT_EQ(ParseAgentId("102132435465768798A9BACBDCEDFE0F"), id);
  for (const char* bad : {"", "102132435465768798a9bacbdcedfe0", "102132435465768798a9bacbdcedfe0f0",
                          "102132435465768798a9bacbdcedfe0g", " 02132435465768798a9bacbdcedfe0f"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseAgentId(bad).has_value());
  }
}

TEST(AgentTextTest, EachUnitIsOneCharacterAndComesBackUnchanged) {
  struct Case {
    std::u16string units;
    std::string utf8;
  };
  const std::vector<Case> cases = {
      {u"VX-PC", "VX-PC"},
      {std::u16string{0x00E9, 0x00FF, 0x0080}, "\xC3\xA9\xC3\xBF\xC2\x80"},
      {u"\u20AC", "\xE2\x82\xAC"},
      // A lone surrogate keeps its own three-byte form; a pair stays two units.
      {std::u16string{0xD800}, "\xED\xA0\x80"},
      {std::u16string{0xD83D, 0xDE00}, "\xED\xA0\xBD\xED\xB8\x80"},
      {std::u16string{u'a', 0x0000, u'b'}, std::string("a\0b", 3)},
      {u"<script>", "<script>"},  // never interpreted
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AgentTextToUtf8(c.units), c.utf8);
    EXPECT_EQ(AgentTextUnits(c.utf8), c.units);
  }
  EXPECT_EQ(AgentTextUnits("\xFF"), std::u16string(1, u'\uFFFD'));
}

TEST(WindowsVersionTest, MajorMinorAndBuildFromGetVersion) {
  EXPECT_EQ(WindowsVersionText(0x1DB10106), "6.1 build 7601");
  EXPECT_EQ(WindowsVersionText(0x0A280105), "5.1 build 2600");
  EXPECT_EQ(WindowsVersionText(0x80000004), "4.0");  // the top bit: no build number
}

TEST(DataDirectoryTest, RootXdgHomeOrTheWorkingDirectory) {
  struct Case {
    DataDirectoryInputs inputs;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {{true, "/home/u/.data", "/home/u"}, "/var/lib/vxmgmtd"},
      {{false, "/home/u/.data", "/home/u"}, "/home/u/.data/vxmgmtd"},
      {{false, "relative/data", "/home/u"}, "/home/u/.local/share/vxmgmtd"},
      {{false, std::nullopt, "/home/u"}, "/home/u/.local/share/vxmgmtd"},
      {{false, std::nullopt, std::nullopt}, "vxmgmtd"},
  };
  for (const Case& c : cases) EXPECT_EQ(DataDirectoryFor(c.inputs), c.expected);
}

}  // namespace
}  // namespace vx::server
