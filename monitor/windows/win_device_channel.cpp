#include "monitor/windows/win_device_channel.h"

#include <windows.h>

#include <string>

namespace vx {
namespace {

class WinDeviceHandle final : public DeviceHandle {
 public:
  explicit WinDeviceHandle(HANDLE handle) : handle_(handle) {}
  // Closing a handle this object opened cannot fail in a way the pass could act on.
  ~WinDeviceHandle() override { (void)CloseHandle(handle_); }

  bool Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
               uint32_t& bytesReturned) override {
    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(handle_, code, const_cast<void*>(input), inputLength, output, outputLength, &returned, nullptr);
    bytesReturned = returned;
    return ok != FALSE;
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<DeviceHandle> WinDeviceChannel::Open(std::wstring_view path) {
  const std::wstring name(path);
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<WinDeviceHandle>(handle);
}

}  // namespace vx
