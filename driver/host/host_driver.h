// Running a driver on the kernel stand-in: load it (DriverEntry), open its
// control device the way user mode does, send requests the way the I/O
// manager does, and plug and unplug fake disks the way Plug and Play does.
#pragma once

#include <memory>
#include <string>

#include "driver/host/fake_disk.h"
#include "driver/host/host_control.h"
#include "driver/host/kernel.h"

namespace vx::host {

// What a request came back with: the status in its I/O status block, the
// bytes reported, and what the dispatch routine returned.
struct IoResult {
  NTSTATUS status;
  ULONG_PTR information;
  NTSTATUS returned;
};

// A driver, loaded for the lifetime of the object. Only one can be loaded at
// a time (a driver's state is process-wide, as in a kernel).
class LoadedDriver {
 public:
  // The filter driver, VXDevFltr (defined with the filter's host library).
  LoadedDriver();
  // The driver whose entry is `entry`, loaded as the service `name`, whose
  // control device link is \DosDevices\<name>.
  LoadedDriver(PDRIVER_INITIALIZE entry, const std::u16string& name);
  // Calls the unload routine, which must leave no device and no link.
  ~LoadedDriver();
  LoadedDriver(const LoadedDriver&) = delete;
  LoadedDriver& operator=(const LoadedDriver&) = delete;

  NTSTATUS EntryStatus() const { return entryStatus_; }
  PDRIVER_OBJECT Object() { return &driver_; }

  // Plug and Play arrival: AddDevice, then a start request to the top of the
  // disk's stack when a filter was attached (or always, for a plain disk).
  [[nodiscard]] NTSTATUS Plug(FakeDisk& disk);
  // Removal: IRP_MN_REMOVE_DEVICE to the top of the disk's stack.
  [[nodiscard]] IoResult Unplug(FakeDisk& disk);

 private:
  DRIVER_OBJECT driver_{};
  DRIVER_EXTENSION extension_{};
  std::u16string linkName_;
  NTSTATUS entryStatus_;
};

// The device behind a user-mode path such as \\.\VXDevFltr after a create
// request sent from `caller` succeeded on it, or null.
[[nodiscard]] PDEVICE_OBJECT OpenDevice(const std::u16string& userPath, Caller caller = Caller::kLocalSystem);
// The create request itself, as `caller` sends it.
[[nodiscard]] IoResult SendCreate(const std::u16string& userPath, Caller caller = Caller::kLocalSystem,
                                  std::optional<Caller> impersonated = std::nullopt);

// Device control as DeviceIoControl sends it, by the code's transfer type:
// buffered, input copied into a system buffer and the reported bytes copied
// back into `output`; direct, input in the system buffer and `output`
// described by an MDL that the driver writes into; neither, the caller's
// own pointers (Type3InputBuffer and UserBuffer), no system buffer.
[[nodiscard]] IoResult SendDeviceControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength,
                                         void* output, ULONG outputLength);
[[nodiscard]] IoResult SendRead(PDEVICE_OBJECT device, ULONG length);
[[nodiscard]] IoResult SendWrite(PDEVICE_OBJECT device, ULONG length);
// Any other request, with no parameters.
[[nodiscard]] IoResult SendRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0);

}  // namespace vx::host
