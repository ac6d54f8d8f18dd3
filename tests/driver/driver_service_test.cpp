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

struct Outcome {
  BOOL ok;
  DWORD error;
  DWORD bytes;
};

Outcome Control(HANDLE device, DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength) {
  DWORD bytes = 0xFFFFFFFF;
  SetLastError(0);
  const BOOL ok =
      DeviceIoControl(device, code, const_cast<void*>(input), inputLength, output, outputLength, &bytes, nullptr);
  return {ok, ok ? 0 : GetLastError(), bytes};
}

TEST_F(DriverServiceTest, SetRuleListAcceptsWholeListsOfUpTo128) {
  std::vector<USB_RULE> rules(129);
  for (USB_RULE& rule : rules) rule.action = ACTION_ALLOW;
  const struct {
    DWORD bytes;
    BOOL ok;
  } cases[] = {{128 * sizeof(USB_RULE), TRUE}, {0, TRUE}, {129 * sizeof(USB_RULE), FALSE}, {265, FALSE}};
  for (const auto& c : cases) {
    const Outcome outcome = Control(device_, IOCTL_SET_RULE_LIST, rules.data(), c.bytes, nullptr, 0);
    EXPECT_EQ(outcome.ok, c.ok) << c.bytes;
    EXPECT_EQ(outcome.error, c.ok ? 0u : static_cast<DWORD>(ERROR_ACCESS_DENIED)) << c.bytes;
    if (c.ok) {
      EXPECT_EQ(outcome.bytes, 0u) << c.bytes;
    }
  }
}

TEST_F(DriverServiceTest, GetLogsChecksTheBufferLength) {
  std::vector<unsigned char> buffer(USB_MAX_LOGS * sizeof(USB_LOG));
  Outcome outcome = Control(device_, IOCTL_GET_LOGS, nullptr, 0, buffer.data(), 100);
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  outcome = Control(device_, IOCTL_GET_LOGS, nullptr, 0, nullptr, 0);
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.bytes, 0u);
  // No disk arrived: a full-size buffer comes back empty, twice.
  for (int i = 0; i < 2; ++i) {
    outcome = Control(device_, IOCTL_GET_LOGS, nullptr, 0, buffer.data(), static_cast<DWORD>(buffer.size()));
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.bytes, 0u);
  }
}

TEST_F(DriverServiceTest, OtherCodesAreRefusedAndOtherRequestsSucceed) {
  const DWORD otherCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
  const Outcome outcome = Control(device_, otherCode, nullptr, 0, nullptr, 0);
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  char data[16] = {};
  DWORD bytes = 0;
  EXPECT_TRUE(ReadFile(device_, data, sizeof data, &bytes, nullptr)) << GetLastError();
  EXPECT_TRUE(WriteFile(device_, data, sizeof data, &bytes, nullptr)) << GetLastError();
  EXPECT_TRUE(FlushFileBuffers(device_)) << GetLastError();
}

}  // namespace
