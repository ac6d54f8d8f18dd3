// DeviceChannel over CreateFileW and DeviceIoControl.
#pragma once

#include "monitor/device_channel.h"

namespace vx {

class WinDeviceChannel final : public DeviceChannel {
 public:
  std::unique_ptr<DeviceHandle> Open(std::wstring_view path) override;
};

}  // namespace vx
