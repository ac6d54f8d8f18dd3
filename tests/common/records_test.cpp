#include <gtest/gtest.h>

#include <cstring>

#include "common/filter_control.h"
#include "common/lock_control.h"

extern "C" int VxRecordsCompileAsC(void);

namespace {

TEST(SharedRecords, CAndCppAgreeOnSizes) { EXPECT_EQ(VxRecordsCompileAsC(), 264 + 268 + 4321); }

TEST(SharedRecords, LogDateAndTimeWordsHoldTheDocumentedBytes) {
  // An entry made at 09:05:07 on 3 March 2014.
  USB_LOG entry{};
  entry.date = (2014u << 16) | (3u << 8) | 3u;
  entry.time = (9u << 24) | (5u << 16) | (7u << 8);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&entry);
  const unsigned char expected[] = {3, 3, 0xDE, 0x07, 0, 7, 5, 9};
  EXPECT_EQ(0, std::memcmp(bytes + 260, expected, sizeof expected));
}

TEST(SharedRecords, RuleActionIsLittleEndianAtItsOffset) {
  USB_RULE rule{};
  rule.flags = RULE_CHECK_VENDOR | RULE_EXACT_SERIAL;
  rule.action = ACTION_READ_ONLY;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&rule);
  EXPECT_EQ(bytes[256], 0x81);
  EXPECT_EQ(bytes[260], 2);
  EXPECT_EQ(bytes[261] | bytes[262] | bytes[263], 0);
}

struct CodeCase {
  unsigned long code;
  unsigned long expected;
  unsigned function;
  unsigned method;
};

TEST(SharedRecords, ControlCodesDecodeToTheirParts) {
  const CodeCase cases[] = {
      {IOCTL_SET_RULE_LIST, 0x00222000, 0x800, 0}, {IOCTL_GET_LOGS, 0x00222004, 0x801, 0},
      {IOCTL_CDDVD_UNLOCK, 0x0022200A, 0x802, 2},  {IOCTL_CDDVD_LOCK, 0x0022200E, 0x803, 2},
      {IOCTL_FLOPPY_UNLOCK, 0x00222012, 0x804, 2}, {IOCTL_FLOPPY_LOCK, 0x00222016, 0x805, 2},
      {IOCTL_GET_LOCK_LOG, 0x00222042, 0x810, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(c.code, c.expected);
    EXPECT_EQ(c.code >> 16, 0x22u);      // FILE_DEVICE_UNKNOWN
    EXPECT_EQ((c.code >> 14) & 3u, 0u);  // FILE_ANY_ACCESS
    EXPECT_EQ((c.code >> 2) & 0xFFFu, c.function);
    EXPECT_EQ(c.code & 3u, c.method);
  }
}

TEST(SharedRecords, LockLogSlotsTileTheBufferExactly) {
  // The last name, time and action slots end where the next array begins.
  EXPECT_EQ(LOCK_LOG_NAMES_OFFSET + 60 * 64, LOCK_LOG_TIMES_OFFSET);
  EXPECT_EQ(LOCK_LOG_TIMES_OFFSET + 60 * 7, LOCK_LOG_ACTIONS_OFFSET);
  EXPECT_EQ(LOCK_LOG_ACTIONS_OFFSET + 60, 4321);
}

}  // namespace
