#include "service/crash/crash_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace vx::crash;

uint32_t WordAt(const uint8_t* bytes, std::size_t offset) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}
uint16_t HalfAt(const uint8_t* bytes, std::size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

CrashRecord SampleRecord() {
  CrashRecord record;
  std::memcpy(record.appCode, "VXDC", 4);
  record.versionMajor = 1;
  record.versionMinor = 5;
  record.versionBuild = 0;
  record.versionRevision = 1155;
  record.crashTime = 1386550123;
  record.startTime = 1386550000;
  record.minidumpResult = 1;
  record.osVersion = {6, 1, 7601, 2, {'S', 'P', ' ', '1'}};
  record.systemInfo = {9, 0, 4096, 0x10000, 0x7ffeffff, 3, 2, 8664, 65536, 6, 0x3a09};
  record.exceptionPresent = true;
  record.exceptionCode = 0xC0000005;
  record.exceptionAddress = 0x00401a2b;
  record.moduleBase = 0x00400000;
  return record;
}

std::vector<std::string> LinesOf(const uint8_t* bytes) {
  std::vector<std::string> lines;
  std::istringstream text(reinterpret_cast<const char*>(bytes));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

TEST(CrashInfoTest, RecordFieldsSitAtTheirOffsets) {
  CrashRecord record = SampleRecord();
  uint8_t file[kCrashInfoSize];
  std::memset(file, 0xEE, sizeof file);
  BuildCrashInfoFile(record, file);

  EXPECT_EQ(sizeof file, 5353u);
  EXPECT_EQ(file[5000], 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file + 5001), 4), "VXDC");
  const std::pair<std::size_t, uint32_t> words[] = {
      {5005, 0x00010005}, {5009, 0x00000483}, {5013, 1386550123}, {5017, 1386550000}, {5021, 1},     {5025, 276},
      {5029, 6},          {5033, 1},          {5037, 7601},       {5041, 2},          {5305, 4096},  {5309, 0x10000},
      {5313, 0x7ffeffff}, {5317, 3},          {5321, 2},          {5325, 8664},       {5329, 65536}, {5337, 1},
      {5341, 0xC0000005}, {5345, 0x00401a2b}, {5349, 0x00400000}};
  for (auto [offset, value] : words) EXPECT_EQ(WordAt(file, offset), value) << "offset " << offset;
  EXPECT_EQ(HalfAt(file, 5045), 'S');
  EXPECT_EQ(HalfAt(file, 5051), '1');
  EXPECT_EQ(HalfAt(file, 5053), 0);
  EXPECT_EQ(HalfAt(file, 5301), 9);       // processor architecture
  EXPECT_EQ(HalfAt(file, 5333), 6);       // processor level
  EXPECT_EQ(HalfAt(file, 5335), 0x3a09);  // processor revision
}

TEST(CrashInfoTest, TextMatchesTheRecordAndIsZeroFilled) {
  CrashRecord record = SampleRecord();
  uint8_t file[kCrashInfoSize];
  std::memset(file, 0xEE, sizeof file);
  BuildCrashInfoFile(record, file);

  std::size_t textLength = std::strlen(reinterpret_cast<const char*>(file));
  ASSERT_LT(textLength, 5000u);
  for (std::size_t i = textLength; i < 5000; ++i) ASSERT_EQ(file[i], 0) << i;

  std::vector<std::string> lines = LinesOf(file);
  ASSERT_EQ(lines.size(), 18u);  // the rule line is followed by four empty lines
  EXPECT_EQ(lines[0], "Crash log");
  EXPECT_EQ(lines[1], "=====-===");
  EXPECT_EQ(lines[2], "Crash Log Version: 2");
  EXPECT_EQ(lines[3], "Application: VXDC");
  EXPECT_EQ(lines[4], "Version: 1.5.0.1155 (0x00010005 0x00000483)");
  const std::regex timeLine(R"(Time: (-?\d+) \((\d{4})/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)\))");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[5], match, timeLine)) << lines[5];
  EXPECT_EQ(match[1], "1386550123");
  const std::regex startLine(R"(Startup Time: (-?\d+) \(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\))");
  ASSERT_TRUE(std::regex_match(lines[6], match, startLine)) << lines[6];
  EXPECT_EQ(match[1], "1386550000");
  EXPECT_EQ(lines[7], "OS Info: Major: 6 Minor: 1 Build: 7601");
  EXPECT_EQ(lines[8], "SYS Info: No. Processor: 2 Processor Type: 8664 Arch: 9 Level: 6 Revision: 14857");
  EXPECT_EQ(lines[9], "BaseAddress: 0x00400000");
  EXPECT_EQ(lines[10], "minidump Result: 1");
  EXPECT_EQ(lines[11], "Exception Code: 0xc0000005");
  EXPECT_EQ(lines[12], "Exception Address: 0x00401a2b");
  EXPECT_EQ(lines[13], std::string(91, '-'));
  for (std::size_t i = 14; i < 18; ++i) EXPECT_EQ(lines[i], "");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file) + textLength - 5, 5), "\n\n\n\n\n");
}

TEST(CrashInfoTest, WithoutExceptionDetailsTextSaysSoAndRecordHoldsZeros) {
  CrashRecord record = SampleRecord();
  record.exceptionPresent = false;  // code and address still set: they must not leak through
  record.minidumpResult = 0;
  uint8_t file[kCrashInfoSize];
  BuildCrashInfoFile(record, file);
  std::vector<std::string> lines = LinesOf(file);
  ASSERT_GE(lines.size(), 13u);
  EXPECT_EQ(lines[10], "minidump Result: 0");
  EXPECT_EQ(lines[11], "No Exception Info");
  EXPECT_EQ(lines[12], std::string(91, '-'));
  EXPECT_EQ(WordAt(file, 5021), 0u);
  EXPECT_EQ(WordAt(file, 5337), 0u);
  EXPECT_EQ(WordAt(file, 5341), 0u);
  EXPECT_EQ(WordAt(file, 5345), 0u);
}

TEST(CrashInfoTest, TimeTextUsesLow32BitsAsSignedAndTheLocalFields) {
  std::tm local{};
  local.tm_year = 113;
  local.tm_mon = 11;
  local.tm_mday = 9;
  local.tm_hour = 1;
  local.tm_min = 6;
  local.tm_sec = 40;
  char text[kTimeTextSize];
  FormatTimeText(1386550000, local, text);
  EXPECT_STREQ(text, "1386550000 (2013/12/09 01:06:40)");
  // After January 2038 the low 32 bits read as a negative number.
  FormatTimeText(int64_t{0x80000005}, local, text);
  EXPECT_STREQ(text, "-2147483643 (2013/12/09 01:06:40)");
}

TEST(CrashInfoTest, VersionWordsCombineMajorMinorAndBuildRevision) {
  CrashRecord record = SampleRecord();
  EXPECT_EQ(VersionHighWord(record), 0x00010005u);
  EXPECT_EQ(VersionLowWord(record), 0x00000483u);
  record.versionMajor = -1;
  record.versionMinor = 0;
  EXPECT_EQ(VersionHighWord(record), 0xFFFF0000u);
}

}  // namespace
