// The attached USB storage disks: their identity parsed from the registry
// key names the platform lists, and the action the service's rules give a
// newly seen one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/filter_control.h"

namespace vx {

// The full registry key names of the present USB storage disks, such as
// \REGISTRY\MACHINE\SYSTEM\ControlSet001\Enum\USBSTOR\Disk&Ven_...\<instance>,
// in the letter case the registry stores. SetupDi and NtQueryKey on Windows;
// a list in tests. Devices whose name cannot be read are left out.
class UsbStorageSource {
 public:
  virtual ~UsbStorageSource() = default;
  [[nodiscard]] virtual std::vector<std::u16string> PresentDiskKeyNames() = 0;
};

// Vendor, product, revision and serial from a key name, each at most 63
// characters, "_" read as a space; "Generic", "USB Disk", "1.0", "1" when the
// name has no "USBSTOR\Disk&". `flags` and `action` are 0.
[[nodiscard]] USB_RULE ParseUsbStorageName(std::u16string_view name);

// One record per present disk, in the order the source lists them.
[[nodiscard]] std::vector<USB_RULE> EnumerateUsbStorage(UsbStorageSource& source);

// Position of the first occurrence of `pattern` in `text`, ASCII letters
// compared without case, or -1. An empty pattern is found at 0.
[[nodiscard]] int IndexOfNoCase(std::string_view text, std::string_view pattern);

// The action of the first rule of `ruleText` (hexadecimal rule list) that
// matches the disk, or ACTION_ALLOW. Vendor, product and serial are checked
// as the rule's flags ask; the revision is not examined here.
[[nodiscard]] int32_t DecideDeviceAction(const USB_RULE& disk, std::string_view ruleText);

// Same disk: equal vendor, product, revision and serial, byte for byte.
[[nodiscard]] bool SameDisk(const USB_RULE& a, const USB_RULE& b);

}  // namespace vx
