// VXDevCtrl.sys loaded as a kernel service under Wine, driven from user mode
// through the monitor's own channel.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <ctime>

#include "common/lock_control.h"
#include "monitor/driver_steps.h"
#include "monitor/windows/win_device_channel.h"
#include "tests/driver/kernel_service.h"

namespace vx {
namespace {

class LockDriverTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { service_ = new test::KernelService(L"VXDevCtrl", VX_LOCK_DRIVER_PATH); }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(service_->Running()) << "start failed: " << service_->LastError();
    device_ = channel_.Open(VX_LOCK_USER_PATH);
    ASSERT_NE(device_, nullptr);
    Drain();
  }
  bool Send(uint32_t code) {
    uint32_t bytes = 0;
    return device_->Control(code, nullptr, 0, nullptr, 0, bytes);
  }
  LOCK_LOG Drain() {
    LOCK_LOG log;
    std::memset(&log, 0xEE, sizeof log);
    uint32_t bytes = 0;
    EXPECT_TRUE(device_->Control(IOCTL_GET_LOCK_LOG, nullptr, 0, log.bytes, sizeof log.bytes, bytes));
    EXPECT_EQ(bytes, sizeof log.bytes);
    return log;
  }

  static test::KernelService* service_;
  WinDeviceChannel channel_;
  std::unique_ptr<DeviceHandle> device_;
};
test::KernelService* LockDriverTest::service_ = nullptr;

TEST_F(LockDriverTest, LogsEachChangeOnceWithTheLocalTime) {
  ASSERT_TRUE(Send(IOCTL_CDDVD_UNLOCK));
  ASSERT_TRUE(Send(IOCTL_FLOPPY_UNLOCK));
  Drain();
  const std::time_t before = std::time(nullptr);
  ASSERT_TRUE(Send(IOCTL_CDDVD_LOCK));
  ASSERT_TRUE(Send(IOCTL_CDDVD_LOCK));  // no change, no entry
  ASSERT_TRUE(Send(IOCTL_FLOPPY_LOCK));
  ASSERT_TRUE(Send(IOCTL_CDDVD_UNLOCK));
  const LOCK_LOG log = Drain();
  const auto rows = LockLogToRows(log);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].product, "CD/DVD");
  EXPECT_EQ(rows[0].action, 0);
  EXPECT_EQ(rows[1].product, "Floppy");
  EXPECT_EQ(rows[1].action, 0);
  EXPECT_EQ(rows[2].product, "CD/DVD");
  EXPECT_EQ(rows[2].action, 1);
  EXPECT_GE(rows[0].time, before - 2);
  EXPECT_LE(rows[0].time, std::time(nullptr) + 2);
  EXPECT_EQ(LockLogToRows(Drain()).size(), 0u);  // handed out once
}

TEST_F(LockDriverTest, AShortLogBufferIsRefusedAndTheLogKept) {
  Send(IOCTL_FLOPPY_UNLOCK);
  Drain();
  ASSERT_TRUE(Send(IOCTL_FLOPPY_LOCK));
  uint8_t small[100];
  uint32_t bytes = 0;
  EXPECT_FALSE(device_->Control(IOCTL_GET_LOCK_LOG, nullptr, 0, small, sizeof small, bytes));
  EXPECT_FALSE(Send(0x00222046));  // an unknown code
  EXPECT_EQ(LockLogToRows(Drain()).size(), 1u);
}

TEST_F(LockDriverTest, TheLogHoldsSixtyChanges) {
  for (int i = 0; i < 40; ++i) {
    Send(IOCTL_CDDVD_LOCK);
    Send(IOCTL_CDDVD_UNLOCK);
  }
  const LOCK_LOG log = Drain();
  EXPECT_EQ(log.bytes[0], 60);
  EXPECT_EQ(LockLogToRows(log).size(), 60u);
}

TEST_F(LockDriverTest, TheMonitorsLockStepIsAcceptedAndCollects) {
  Send(IOCTL_CDDVD_UNLOCK);
  Send(IOCTL_FLOPPY_UNLOCK);
  Drain();
  DriverStepResult result = RunLockDriverStep(channel_, true, true, false);
  EXPECT_TRUE(result.opened);
  EXPECT_TRUE(result.accepted);
  ASSERT_EQ(result.rows.size(), 1u);  // floppy was already unlocked
  EXPECT_EQ(result.rows[0].vendor, "-");
  EXPECT_EQ(result.rows[0].product, "CD/DVD");
  EXPECT_EQ(result.rows[0].serial, "-");
  result = RunLockDriverStep(channel_, false, false, false);
  EXPECT_FALSE(result.accepted);  // nothing was sent
  EXPECT_TRUE(result.rows.empty());
}

}  // namespace
}  // namespace vx
