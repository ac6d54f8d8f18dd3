// Running the filter driver on the kernel stand-in: load it (DriverEntry),
// open its control device the way user mode does, send requests the way the
// I/O manager does, and plug and unplug fake disks the way Plug and Play does.
#pragma once

#include <memory>
#include <string>

#include "driver/host/fake_disk.h"
#include "driver/host/kernel.h"

namespace vx::host {

// What a request came back with: the status in its I/O status block, the
// bytes reported, and what the dispatch routine returned.
struct IoResult {
  NTSTATUS status;
  ULONG_PTR information;
  NTSTATUS returned;
};

// The filter driver, loaded for the lifetime of the object. Only one can be
// loaded at a time (the driver's state is process-wide, as in a kernel).
class LoadedDriver {
 public:
  LoadedDriver();
  // Calls the unload routine, which must leave no device and no link.
  ~LoadedDriver();
  LoadedDriver(const LoadedDriver&) = delete;
  LoadedDriver& operator=(const LoadedDriver&) = delete;

  NTSTATUS EntryStatus() const { return entryStatus_; }
  PDRIVER_OBJECT Object() { return &driver_; }

  // Plug and Play arrival: AddDevice, then a start request to the top of the
  // disk's stack when a filter was attached (or always, for a plain disk).
  NTSTATUS Plug(FakeDisk& disk);
  // Removal: IRP_MN_REMOVE_DEVICE to the top of the disk's stack.
  IoResult Unplug(FakeDisk& disk);

 private:
  DRIVER_OBJECT driver_{};
  DRIVER_EXTENSION extension_{};
  NTSTATUS entryStatus_;
};

// The device behind a user-mode path such as \\.\VXDevFltr after a create
// request succeeded on it, or null.
PDEVICE_OBJECT OpenDevice(const std::u16string& userPath);

// Buffered device control, as DeviceIoControl sends it: input copied into a
// system buffer, the reported bytes copied back into `output`.
IoResult SendDeviceControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength);
IoResult SendRead(PDEVICE_OBJECT device, ULONG length);
IoResult SendWrite(PDEVICE_OBJECT device, ULONG length);
// Any other request, with no parameters.
IoResult SendRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0);

}  // namespace vx::host
