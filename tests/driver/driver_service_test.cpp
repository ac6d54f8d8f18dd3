// The x64 driver image loaded as a kernel service under Wine, driven from
// user mode through its control device.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <vector>

#include "common/filter_control.h"
#include "tests/driver/kernel_service.h"

namespace {

std::unique_ptr<vx::test::KernelService> service;

class DriverServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { service = std::make_unique<vx::test::KernelService>(L"VXDevFltr", VX_DRIVER_PATH); }
  static void TearDownTestSuite() { service.reset(); }

  void SetUp() override {
    ASSERT_TRUE(service->Running()) << "start failed, error " << service->LastError();
    device_ = CreateFileW(VX_FILTER_USER_PATH, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device_, INVALID_HANDLE_VALUE) << "open failed, error " << GetLastError();
  }
  void TearDown() override {
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
  }

  HANDLE device_ = INVALID_HANDLE_VALUE;
};

TEST_F(DriverServiceTest, ControlDeviceOpensFromUserMode) { EXPECT_NE(device_, INVALID_HANDLE_VALUE); }

}  // namespace
