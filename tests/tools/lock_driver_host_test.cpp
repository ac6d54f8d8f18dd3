// The lock driver stand-in on the kernel stand-in, through real requests:
// who may open its control device, and its codes with their direct-I/O log
// buffer. The same image runs under Wine in lock_driver_test.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "common/lock_control.h"
#include "driver/host/host_control.h"
#include "driver/host/host_driver.h"
#include "tools/lockdrv/lock_driver.h"

namespace {

using vx::host::Caller;
using vx::host::IoResult;

constexpr const char16_t* kUserPath = u"\\\\.\\VXDevCtrl";

class LockDriverHostTest : public testing::Test {
 protected:
  void SetUp() override {
    vx::host::SetLocalTime(2014, 3, 25, 9, 5, 7);
    driver_ = std::make_unique<vx::host::LoadedDriver>(DriverEntry, u"VXDevCtrl");
    ASSERT_EQ(driver_->EntryStatus(), STATUS_SUCCESS);
    device_ = vx::host::OpenDevice(kUserPath);
    ASSERT_NE(device_, nullptr);
  }
  void TearDown() override {
    vx::host::SetClockStep(0);
    driver_.reset();  // the stand-in stops the program if a device or link is left
    EXPECT_EQ(vx::host::PoolAllocationsOutstanding(), 0u);
    EXPECT_EQ(vx::host::TokenHandlesOutstanding(), 0u);
  }

  NTSTATUS Send(ULONG code) { return vx::host::SendDeviceControl(device_, code, nullptr, 0, nullptr, 0).status; }

  // The log as IOCTL_GET_LOCK_LOG hands it out; the buffer starts out filled
  // with 0xEE so that bytes the driver leaves alone show.
  LOCK_LOG TakeLog(NTSTATUS* status = nullptr, ULONG length = LOCK_LOG_SIZE) {
    LOCK_LOG log;
    std::memset(&log, 0xEE, sizeof log);
    const IoResult result = vx::host::SendDeviceControl(device_, IOCTL_GET_LOCK_LOG, nullptr, 0, log.bytes, length);
    if (status != nullptr) *status = result.status;
    if (NT_SUCCESS(result.status)) {
      EXPECT_EQ(result.information, LOCK_LOG_SIZE);
    }
    return log;
  }

  static std::string Name(const LOCK_LOG& log, int i) {
    return reinterpret_cast<const char*>(log.bytes + LOCK_LOG_NAMES_OFFSET + LOCK_LOG_NAME_SIZE * i);
  }
  static int Action(const LOCK_LOG& log, int i) {
    return static_cast<signed char>(log.bytes[LOCK_LOG_ACTIONS_OFFSET + i]);
  }

  std::unique_ptr<vx::host::LoadedDriver> driver_;
  PDEVICE_OBJECT device_ = nullptr;
};

// Whoever opens the lock driver's device sets the drive locks, so it opens
// only for LocalSystem (the service) and administrators in force.
TEST_F(LockDriverHostTest, ControlDeviceOpensOnlyForLocalSystemAndAdministrators) {
  const struct {
    const char* what;
    Caller process;
    std::optional<Caller> impersonated;
    NTSTATUS status;
  } cases[] = {
      {"LocalSystem, as the service runs", Caller::kLocalSystem, std::nullopt, STATUS_SUCCESS},
      {"elevated administrator", Caller::kAdministrator, std::nullopt, STATUS_SUCCESS},
      {"administrator without elevation", Caller::kFilteredAdministrator, std::nullopt, STATUS_ACCESS_DENIED},
      {"standard user", Caller::kStandardUser, std::nullopt, STATUS_ACCESS_DENIED},
      {"LocalSystem impersonating a user", Caller::kLocalSystem, Caller::kStandardUser, STATUS_ACCESS_DENIED},
      {"LocalSystem impersonating anonymously", Caller::kLocalSystem, Caller::kAnonymous, STATUS_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(vx::host::SendCreate(kUserPath, c.process, c.impersonated).status, c.status) << c.what;
  }
}

TEST_F(LockDriverHostTest, EachChangeIsLoggedOnceWithItsLocalTime) {
  vx::host::SetClockStep(1);
  ASSERT_EQ(Send(IOCTL_CDDVD_LOCK), STATUS_SUCCESS);
  ASSERT_EQ(Send(IOCTL_CDDVD_LOCK), STATUS_SUCCESS);  // no change, no entry
  ASSERT_EQ(Send(IOCTL_FLOPPY_LOCK), STATUS_SUCCESS);
  ASSERT_EQ(Send(IOCTL_FLOPPY_UNLOCK), STATUS_SUCCESS);
  const LOCK_LOG log = TakeLog();
  ASSERT_EQ(log.bytes[LOCK_LOG_COUNT_OFFSET], 3);
  EXPECT_EQ(Name(log, 0), "CD/DVD");
  EXPECT_EQ(Action(log, 0), 0);  // locked
  EXPECT_EQ(Name(log, 1), "Floppy");
  EXPECT_EQ(Action(log, 1), 0);
  EXPECT_EQ(Name(log, 2), "Floppy");
  EXPECT_EQ(Action(log, 2), 1);  // unlocked
  // Year 2014 little-endian, then month 3, day 25: the two cannot be swapped
  // unseen. Each reading of the clock is a second later.
  const unsigned char first[] = {0xDE, 0x07, 3, 25, 9, 5, 7};
  const unsigned char third[] = {0xDE, 0x07, 3, 25, 9, 5, 9};
  EXPECT_EQ(std::memcmp(log.bytes + LOCK_LOG_TIMES_OFFSET, first, sizeof first), 0);
  EXPECT_EQ(std::memcmp(log.bytes + LOCK_LOG_TIMES_OFFSET + 2 * LOCK_LOG_TIME_SIZE, third, sizeof third), 0);
  EXPECT_EQ(TakeLog().bytes[LOCK_LOG_COUNT_OFFSET], 0) << "each entry is handed out once";
}

TEST_F(LockDriverHostTest, RefusalsKeepTheLog) {
  ASSERT_EQ(Send(IOCTL_CDDVD_LOCK), STATUS_SUCCESS);
  NTSTATUS status = STATUS_SUCCESS;
  TakeLog(&status, LOCK_LOG_SIZE - 1);
  EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Send(0x00222046), STATUS_INVALID_DEVICE_REQUEST);  // an unknown code
  const LOCK_LOG log = TakeLog(&status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(log.bytes[LOCK_LOG_COUNT_OFFSET], 1);
}

TEST_F(LockDriverHostTest, TheLogHoldsSixtyChanges) {
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(Send(IOCTL_CDDVD_LOCK), STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_CDDVD_UNLOCK), STATUS_SUCCESS);
  }
  const LOCK_LOG log = TakeLog();
  EXPECT_EQ(log.bytes[LOCK_LOG_COUNT_OFFSET], LOCK_LOG_MAX_ENTRIES);
  EXPECT_EQ(Action(log, 59), 1) << "the 60th change, an unlock, is the last kept";
}

}  // namespace
