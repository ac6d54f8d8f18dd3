#include "monitor/report_row.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "monitor/clock.h"
#include "tests/monitor/fake_devices.h"

namespace vx {
namespace {

// Runs a test body in a given time zone (POSIX TZ rules), restoring the old one.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    Set(zone);
  }
  ~TimeZone() { hadOld_ ? Set(old_.c_str()) : Set(nullptr); }

 private:
  static void Set(const char* zone) {
#ifdef _WIN32
    _putenv_s("TZ", zone ? zone : "");
    _tzset();
#else
    zone ? setenv("TZ", zone, 1) : unsetenv("TZ");
    tzset();
#endif
  }
  bool hadOld_ = false;
  std::string old_;
};

TEST(ReportRow, FilterActionsMapToReportActions) {
  const std::pair<int32_t, int32_t> cases[] = {{1, 0}, {2, 2}, {3, 1}, {0, 1}, {4, 1}, {-1, 1}, {0x7FFFFFFF, 1}};
  for (auto [filter, report] : cases) {
    EXPECT_EQ(ReportActionOf(filter), report) << filter;
    EXPECT_EQ(FilterLogToRow(test::MakeFilterEntry("v", "p", "s", filter)).action, report);
  }
}

TEST(ReportRow, FilterEntryTextsAndLocalTime) {
  TimeZone utc("UTC0");
  USB_LOG entry = test::MakeFilterEntry("Kingston", "DataTraveler 2.0", "0019E06B", ACTION_BLOCK);
  std::memset(entry.product, 'P', sizeof entry.product);  // no terminator: 64 characters, no more
  const ReportRow row = FilterLogToRow(entry);
  EXPECT_EQ(row.time, 1393837507);  // 2014-03-03 09:05:07
  EXPECT_EQ(row.vendor, "Kingston");
  EXPECT_EQ(row.product, std::string(64, 'P'));
  EXPECT_EQ(row.serial, "0019E06B");
  EXPECT_EQ(row.action, 0);
}

// Every date and time field is read from its own place in both layouts: a
// day that differs from its month, and hour, minute and second all apart.
TEST(ReportRow, BothConversionsReadEachDateAndTimeField) {
  TimeZone utc("UTC0");
  struct Case {
    int year, month, day, hour, minute, second;
    int32_t epoch;
  };
  const Case cases[] =
      {
          {2014, 3, 25, 17, 42, 9, 1395769329},  {2014, 3, 3, 9, 5, 7, 1393837507},
          {1999, 12, 31, 23, 59, 58, 946684798}, {2020, 2, 29, 0, 0, 1, 1582934401},
          {2038, 1, 19, 3, 14, 7, 2147483647},  // the last second of the signed 32-bit range
      };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << "-" << c.day);
    USB_LOG entry = test::MakeFilterEntry("v", "p", "s", ACTION_ALLOW);
    entry.date =
        (static_cast<uint32_t>(c.year) << 16) | (static_cast<uint32_t>(c.month) << 8) | static_cast<uint32_t>(c.day);
    entry.time = (static_cast<uint32_t>(c.hour) << 24) | (static_cast<uint32_t>(c.minute) << 16) |
                 (static_cast<uint32_t>(c.second) << 8);
    EXPECT_EQ(FilterLogToRow(entry).time, c.epoch);

    const auto bytes = test::MakeLockLog({"CdRom0"}, 1, c.year, c.month, c.day, c.hour, c.minute, c.second);
    LOCK_LOG log;
    std::memcpy(log.bytes, bytes.data(), sizeof log.bytes);
    const auto rows = LockLogToRows(log);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].time, c.epoch);
  }
}

#ifndef _WIN32
TEST(ReportRow, LocalTimeFollowsTheTimeZoneRules) {
  TimeZone central("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(LocalTimeToEpoch(2014, 1, 15, 12, 0, 0), 1389783600);  // winter, UTC+1
  EXPECT_EQ(LocalTimeToEpoch(2014, 7, 1, 12, 0, 0), 1404208800);   // summer, UTC+2
}
#endif

TEST(ReportRow, LockLogEntriesBecomeRowsInOrder) {
  TimeZone utc("UTC0");
  const auto bytes = test::MakeLockLog({"CdRom0", "Floppy0", "CdRom1"}, 5, 2014, 3, 3, 9, 5, 7);
  LOCK_LOG log;
  std::memcpy(log.bytes, bytes.data(), sizeof log.bytes);
  EXPECT_EQ(log.bytes[3841], 0xDE);
  EXPECT_EQ(log.bytes[3842], 0x07);
  const auto rows = LockLogToRows(log);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (ReportRow{1393837507, "-", "CdRom0", "-", 5}));
  EXPECT_EQ(rows[1].product, "Floppy0");
  EXPECT_EQ(rows[2].product, "CdRom1");
}

TEST(ReportRow, LockLogCountsAreBounded) {
  struct Case {
    uint8_t countByte;
    std::size_t rows;
  };
  const Case cases[] = {{0, 0}, {0x80, 0}, {0xFF, 0}, {1, 1}, {60, 60}, {61, 60}, {0x7F, 60}};
  std::vector<std::string> names(60);
  for (std::size_t i = 0; i < names.size(); ++i) names[i] = "Drive" + std::to_string(i);
  auto bytes = test::MakeLockLog(names, -3, 2020, 1, 1, 0, 0, 0);
  for (const auto& c : cases) {
    LOCK_LOG log;
    std::memcpy(log.bytes, bytes.data(), sizeof log.bytes);
    log.bytes[0] = c.countByte;
    const auto rows = LockLogToRows(log);
    ASSERT_EQ(rows.size(), c.rows) << int(c.countByte);
    if (!rows.empty()) {
      EXPECT_EQ(rows.back().product, "Drive" + std::to_string(c.rows - 1));
      EXPECT_EQ(rows.back().action, -3);  // the signed byte, unchanged
    }
  }
  // A name without a zero in its 64 bytes stops at the end of its slot.
  LOCK_LOG log;
  std::memcpy(log.bytes, bytes.data(), sizeof log.bytes);
  log.bytes[0] = 1;
  std::memset(log.bytes + 1, 'N', 64);
  EXPECT_EQ(LockLogToRows(log)[0].product, std::string(64, 'N'));
}

}  // namespace
}  // namespace vx
