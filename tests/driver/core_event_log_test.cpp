#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "driver/core/event_log.h"
#include "tests/driver/rule_builder.h"

namespace {

using namespace vx::driver;

const LOG_TIME kTime = {2014, 3, 3, 9, 5, 7};

std::unique_ptr<EVENT_LOG> NewLog() {
  auto log = std::make_unique<EVENT_LOG>();
  InitEventLog(log.get());
  return log;
}

bool AppendNumbered(EVENT_LOG* log, int n) {
  const DEVICE_IDENTITY id = vx::test::MakeIdentity("V", "P", "R", std::to_string(n));
  return AppendLog(log, &id, ACTION_ALLOW, kTime);
}

TEST(EventLog, EntryHoldsTextsActionAndPackedLocalTime) {
  auto log = NewLog();
  DEVICE_IDENTITY id = vx::test::MakeIdentity("Acme", "Flash Drive", "1.00", "0123");
  id.vendor[40] = 'x';  // bytes after the terminator travel too
  ASSERT_TRUE(AppendLog(log.get(), &id, ACTION_READ_ONLY, kTime));
  std::vector<unsigned char> out(sizeof(USB_LOG));
  uint32_t bytes = 0;
  ASSERT_TRUE(TakeLogs(log.get(), out.data(), static_cast<uint32_t>(out.size()), &bytes));
  ASSERT_EQ(bytes, sizeof(USB_LOG));
  EXPECT_EQ(std::memcmp(out.data(), &id, sizeof id), 0);
  EXPECT_EQ(out[256], 2);
  const unsigned char stamp[] = {3, 3, 0xDE, 0x07, 0, 7, 5, 9};
  EXPECT_EQ(std::memcmp(out.data() + 260, stamp, sizeof stamp), 0);
}

TEST(EventLog, FullLogKeepsTheFirst128AndCountsTheDropped) {
  auto log = NewLog();
  for (int i = 0; i < 130; ++i) EXPECT_EQ(AppendNumbered(log.get(), i), i < 128);
  EXPECT_EQ(log->dropped, 2u);
  std::vector<USB_LOG> out(128);
  uint32_t bytes = 0;
  ASSERT_TRUE(TakeLogs(log.get(), out.data(), 128 * sizeof(USB_LOG), &bytes));
  ASSERT_EQ(bytes, 128 * sizeof(USB_LOG));
  for (int i = 0; i < 128; ++i) EXPECT_EQ(std::string(out[i].serial), std::to_string(i)) << "entries in order";
  // The next arrival goes to slot 0 again.
  ASSERT_TRUE(AppendNumbered(log.get(), 500));
  ASSERT_TRUE(TakeLogs(log.get(), out.data(), sizeof(USB_LOG), &bytes));
  EXPECT_STREQ(out[0].serial, "500");
}

TEST(EventLog, TakeChecksTheBufferLengthAndKeepsEntriesOnRefusal) {
  auto log = NewLog();
  std::vector<unsigned char> out(129 * sizeof(USB_LOG));
  uint32_t bytes = 99;
  // Empty log: 100 bytes is refused, 0 bytes succeeds with nothing.
  EXPECT_FALSE(TakeLogs(log.get(), out.data(), 100, &bytes));
  EXPECT_TRUE(TakeLogs(log.get(), nullptr, 0, &bytes));
  EXPECT_EQ(bytes, 0u);
  for (int i = 0; i < 128; ++i) AppendNumbered(log.get(), i);
  EXPECT_FALSE(TakeLogs(log.get(), out.data(), 127 * sizeof(USB_LOG), &bytes));
  EXPECT_FALSE(TakeLogs(log.get(), out.data(), 0, &bytes));
  EXPECT_EQ(log->logCount, 128);
  // A larger whole buffer is fine.
  EXPECT_TRUE(TakeLogs(log.get(), out.data(), 129 * sizeof(USB_LOG), &bytes));
  EXPECT_EQ(bytes, 128 * sizeof(USB_LOG));
  EXPECT_TRUE(TakeLogs(log.get(), out.data(), 128 * sizeof(USB_LOG), &bytes));
  EXPECT_EQ(bytes, 0u) << "a second take with no activity returns nothing";
}

}  // namespace
