// Any sequence of requests to the control device and to two USB disks, with
// any lengths and bytes, and opens of the control device by any caller:
// every answer is one the driver may give, never reports more bytes than the
// buffer holds, only LocalSystem and administrators in force open the
// control device, and the kernel stand-in finds no misuse (it stops the
// program on one).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "common/filter_control.h"
#include "driver/host/fake_disk.h"
#include "driver/host/host_control.h"
#include "driver/host/host_driver.h"

namespace {

struct Rig {
  vx::host::LoadedDriver driver;
  PDEVICE_OBJECT control = vx::host::OpenDevice(u"\\\\.\\VXDevFltr");
  vx::host::FakeDisk usb{vx::host::kBusTypeUsbDisk,
                         u"\\REGISTRY\\MACHINE\\SYSTEM\\Enum\\USBSTOR\\Disk&Ven_Acme&Prod_Stick&Rev_1\\S1&0"};
  vx::host::FakeDisk other{vx::host::kBusTypeUsbDisk, u"\\REGISTRY\\MACHINE\\SYSTEM\\Enum\\SCSI\\Disk",
                           vx::host::KeyAccess::kNoKeyObject};
  Rig() {
    if (control == nullptr || driver.Plug(usb) != STATUS_SUCCESS) std::abort();
  }
};

uint32_t Take(const uint8_t*& data, size_t& size, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes && size > 0; ++i, ++data, --size) value |= uint32_t{*data} << (8 * i);
  return value;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig* rig = new Rig;
  while (size > 0) {
    const uint32_t op = Take(data, size, 1) % 7;
    if (op == 0 || op == 1 || op == 2) {
      const ULONG code = op == 0 ? IOCTL_SET_RULE_LIST : op == 1 ? IOCTL_GET_LOGS : Take(data, size, 4);
      const ULONG inputLength = Take(data, size, 2) % 40000;
      const ULONG outputLength = Take(data, size, 2) % 40000;
      std::vector<uint8_t> input(inputLength + 1);
      const size_t available = size < inputLength ? size : inputLength;
      if (available > 0) std::memcpy(input.data(), data, available);
      data += available;
      size -= available;
      std::vector<uint8_t> output(outputLength + 1);
      const vx::host::IoResult result =
          vx::host::SendDeviceControl(rig->control, code, input.data(), inputLength, output.data(), outputLength);
      Check(result.information <= outputLength);
      if (code == IOCTL_SET_RULE_LIST) {
        const bool whole = inputLength % sizeof(USB_RULE) == 0 && inputLength / sizeof(USB_RULE) <= USB_MAX_RULES;
        Check(result.status == (whole ? STATUS_SUCCESS : STATUS_ACCESS_DENIED));
        Check(result.information == 0);
      } else if (code == IOCTL_GET_LOGS) {
        Check(result.status == STATUS_SUCCESS || result.status == STATUS_ACCESS_DENIED);
        Check(result.information % sizeof(USB_LOG) == 0 && result.information <= USB_MAX_LOGS * sizeof(USB_LOG));
        if (outputLength % sizeof(USB_LOG) != 0) Check(result.status == STATUS_ACCESS_DENIED);
      } else {
        Check(result.status == STATUS_ACCESS_DENIED && result.information == 0);
      }
    } else if (op == 3) {
      const NTSTATUS status = (Take(data, size, 1) & 1) ? vx::host::SendRead(rig->usb.Top(), 512).status
                                                        : vx::host::SendWrite(rig->usb.Top(), 512).status;
      Check(status == STATUS_SUCCESS || status == STATUS_ACCESS_DENIED);
    } else if (op == 4) {
      // Only the writability query can be refused by the filter; every other
      // code is answered by the disk below.
      const ULONG code = Take(data, size, 4);
      const NTSTATUS status = vx::host::SendDeviceControl(rig->usb.Top(), code, nullptr, 0, nullptr, 0).status;
      if (code == 0x00070024) {
        Check(status == STATUS_SUCCESS || status == STATUS_MEDIA_WRITE_PROTECTED);
      } else {
        Check(status != STATUS_MEDIA_WRITE_PROTECTED);
      }
    } else if (op == 5) {
      // An open of the control device: the token it acts with decides.
      using vx::host::Caller;
      const Caller callers[] = {Caller::kLocalSystem, Caller::kAdministrator, Caller::kFilteredAdministrator,
                                Caller::kStandardUser, Caller::kAnonymous};
      const Caller process = callers[Take(data, size, 1) % 4];
      const uint32_t pick = Take(data, size, 1) % 6;
      const std::optional<Caller> impersonated = pick < 5 ? std::optional<Caller>(callers[pick]) : std::nullopt;
      const Caller acting = impersonated.value_or(process);
      const bool allowed = acting == Caller::kLocalSystem || acting == Caller::kAdministrator;
      const vx::host::IoResult result = vx::host::SendCreate(u"\\\\.\\VXDevFltr", process, impersonated);
      Check(result.status == (allowed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED));
      Check(vx::host::TokenHandlesOutstanding() == 0);
    } else {
      // Plug or unplug the second disk.
      if (rig->other.Filtered()) {
        Check(rig->driver.Unplug(rig->other).status == STATUS_SUCCESS);
      } else {
        Check(rig->driver.Plug(rig->other) == STATUS_SUCCESS);
      }
    }
  }
  vx::host::TakeDebugLines();
  return 0;
}
