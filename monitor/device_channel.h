// Opening a driver's device and sending it control codes: CreateFileW and
// DeviceIoControl on Windows; in tests, the real driver code on the kernel
// stand-in or a scripted fake.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace vx {

class DeviceHandle {
 public:
  virtual ~DeviceHandle() = default;  // closes the device

  // Sends `code` with the given buffers (either may be null with length 0).
  // True when the driver completed the request successfully; `bytesReturned`
  // then holds the output byte count.
  [[nodiscard]] virtual bool Control(uint32_t code, const void* input, uint32_t inputLength, void* output,
                                     uint32_t outputLength, uint32_t& bytesReturned) = 0;
};

class DeviceChannel {
 public:
  virtual ~DeviceChannel() = default;

  // Opens a device path such as \\.\VXDevFltr with full access and no
  // sharing. Null when the device cannot be opened.
  [[nodiscard]] virtual std::unique_ptr<DeviceHandle> Open(std::wstring_view path) = 0;
};

}  // namespace vx
