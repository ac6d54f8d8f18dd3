// UsbStorageSource over the platform's device list: the present disks of the
// disk drive class enumerated by USBSTOR, and the full name of each disk's
// registry key as the registry stores it (NtQueryKey).
#pragma once

#include "monitor/usb_inventory.h"

namespace vx {

class SetupDiUsbStorageSource final : public UsbStorageSource {
 public:
  std::vector<std::u16string> PresentDiskKeyNames() override;
};

}  // namespace vx
