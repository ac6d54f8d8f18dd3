// How the commands write texts and times: untrusted agent texts never reach
// a terminal, a JSON or a CSV reader raw; times read and print in local time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "server/commands/command_time.h"
#include "server/commands/text_output.h"
#include "server/store/agent_text.h"

namespace vx::server {
namespace {

struct TextCase {
  std::u16string units;
  std::string json, csv, shown;
};

TEST(ServerCommandOutput, AgentTextsInJsonCsvAndOnATerminal) {
  const TextCase cases[] = {
      {u"Acme", "\"Acme\"", "Acme", "Acme"},
      {u"", "\"\"", "", ""},
      {u"say \"hi\"", "\"say \\\"hi\\\"\"", "\"say \"\"hi\"\"\"", "say \"hi\""},
      {u"a,b", "\"a,b\"", "\"a,b\"", "a,b"},
      {u"two\r\nlines", "\"two\\u000d\\u000alines\"", "\"two\r\nlines\"", "two\\x0D\\x0Alines"},
      {u"back\\slash", "\"back\\\\slash\"", "back\\slash", "back\\\\slash"},
      {u"\x1b[31mred", "\"\\u001b[31mred\"", "\x1b[31mred", "\\x1B[31mred"},
      {u"del\x7f c1\x85", "\"del\\u007f c1\\u0085\"", "del\x7f c1\xC2\x85", "del\\x7F c1\\x85"},
      {u"caf\u00e9", "\"caf\\u00e9\"", "caf\xC3\xA9", "caf\xC3\xA9"},
      {u"\u202egnp.exe", "\"\\u202egnp.exe\"", "\xE2\x80\xAEgnp.exe", "\\u202Egnp.exe"},
      {u"\u20ac", "\"\\u20ac\"", "\xE2\x82\xAC", "\xE2\x82\xAC"},
      // Markup a device may carry stays text in every form.
      {u"<img src=x onerror=alert(1)>&", "\"\\u003cimg src=x onerror=alert(1)\\u003e\\u0026\"",
       "<img src=x onerror=alert(1)>&", "<img src=x onerror=alert(1)>&"},
      // A unit of a surrogate pair alone: each unit one character in JSON;
      // strict UTF-8 elsewhere.
      {std::u16string(1, char16_t(0xD800)) + u"x", "\"\\ud800x\"", "\xEF\xBF\xBDx", "\xEF\xBF\xBDx"},
      {std::u16string(1, char16_t(0)), "\"\\u0000\"", std::string(1, '\0'), "\\x00"},
  };
  for (const TextCase& c : cases) {
    const std::string stored = AgentTextToUtf8(c.units);
    EXPECT_EQ(JsonAgentText(stored), c.json) << c.json;
    EXPECT_EQ(JsonUnits(c.units), c.json);
    EXPECT_EQ(CsvAgentText(stored), c.csv) << c.json;
    EXPECT_EQ(ShownAgentText(stored), c.shown) << c.json;
  }
  EXPECT_EQ(JsonBytes("\xC4pfel \"x\""), "\"\\u00c4pfel \\\"x\\\"\"");  // single-byte texts read as Latin-1
  EXPECT_EQ(ShownWidth("caf\xC3\xA9"), 4u);
}

class ServerCommandTime : public ::testing::Test {
 protected:
  // Central European time, with its daylight saving rules, whatever the machine's zone.
  void SetUp() override {
    const char* zone = std::getenv("TZ");
    if (zone) savedZone_ = zone;
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
  }
  void TearDown() override {
    if (savedZone_)
      setenv("TZ", savedZone_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  std::optional<std::string> savedZone_;
};

TEST_F(ServerCommandTime, ArgumentsInLocalTimeOrSeconds) {
  const std::pair<const char*, int64_t> accepted[] = {
      {"2024-01-15", 1705273200},
      {"2024-07-01T12:30", 1719829800},
      {"2024-07-01T12:30:15", 1719829815},
      {"2024-07-01 12:30:15", 1719829815},
      {"2024-02-29", 1709161200},
      {"1700000000", 1700000000},
      {"0", 0},
  };
  for (const auto& [text, seconds] : accepted) EXPECT_EQ(ParseTimeArgument(text), seconds) << text;
  const char* refused[] = {"",           "yesterday",     "2023-02-29",           "2024-13-01",
                           "2024-00-10", "2024-01-32",    "2024-01-15T24:00",     "2024-01-15T12:60",
                           "2024-1-15",  "2024-01-15T12", "2024-01-15T12:30:60",  "2024-01-15X12:30",
                           "-5",         "1234567890123", "2024-01-15T12:30:15Z", "2024/01/15"};
  for (const char* text : refused) EXPECT_FALSE(ParseTimeArgument(text)) << text;
}

TEST_F(ServerCommandTime, OutputInLocalTime) {
  EXPECT_EQ(LocalTimeText(1719829815), "2024-07-01 12:30:15");  // summer time
  EXPECT_EQ(LocalTimeText(1705273200), "2024-01-15 00:00:00");
  EXPECT_EQ(LocalTimeText(0), "1970-01-01 01:00:00");
  // What the commands print reads back as the same moment.
  EXPECT_EQ(ParseTimeArgument(LocalTimeText(1719829815)), 1719829815);
}

}  // namespace
}  // namespace vx::server
