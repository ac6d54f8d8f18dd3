// Load of the driver, the dispatch table, and the routines that treat the
// control device and a filter device alike or simply pass requests on.
#include "driver/control_caller.h"
#include "driver/filter_driver.h"

namespace vx::driver {

PDEVICE_OBJECT controlDevice;

// The completion helpers' contract is where they are declared
// (filter_driver.h).
_Use_decl_annotations_ NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

_Use_decl_annotations_ NTSTATUS CompleteRefused(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Information = 0;
  return CompleteRequest(irp, status);
}

_Use_decl_annotations_ NTSTATUS ForwardRequest(FILTER_EXTENSION* extension, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(extension->lowerDevice, irp);
}

// In the opening thread, which it reads the token of. Opening a disk is never
// refused (only its reads, writes and writability query are); the control
// device opens only for LocalSystem and administrators in force, as whoever
// holds it replaces the rule list (control_caller.h).
_Use_decl_annotations_ NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  if (device != controlDevice) return CompleteRequest(irp, STATUS_SUCCESS);
  const NTSTATUS status = CheckControlCaller();
  return NT_SUCCESS(status) ? CompleteRequest(irp, status) : CompleteRefused(irp, status);
}

// Every request the filter does not judge. It only forwards, so it takes no
// lock and never waits; the remove guard keeps the extension alive meanwhile.
_Use_decl_annotations_ NTSTATUS NTAPI DispatchPassThrough(PDEVICE_OBJECT device, PIRP irp) {
  if (device == controlDevice) return CompleteRequest(irp, STATUS_SUCCESS);
  auto* extension = static_cast<FILTER_EXTENSION*>(device->DeviceExtension);
  if (!EnterGuard(&extension->removeGuard)) return CompleteRefused(irp, STATUS_DELETE_PENDING);
  const NTSTATUS status = ForwardRequest(extension, irp);
  LeaveGuard(&extension->removeGuard);
  return status;
}

_Use_decl_annotations_ NTSTATUS NTAPI DispatchFlushShutdown(PDEVICE_OBJECT device, PIRP irp) {
  return DispatchPassThrough(device, irp);
}

// At PASSIVE_LEVEL because every filter device is pageable for power
// (DO_POWER_PAGABLE, set at AddDevice, as the disk below it is). The next
// power request is released before the guard is entered, so a refused one
// does not hold up the power manager.
_Use_decl_annotations_ NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  if (device == controlDevice) return CompleteRequest(irp, STATUS_SUCCESS);
  auto* extension = static_cast<FILTER_EXTENSION*>(device->DeviceExtension);
  PoStartNextPowerIrp(irp);
  if (!EnterGuard(&extension->removeGuard)) return CompleteRefused(irp, STATUS_DELETE_PENDING);
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = PoCallDriver(extension->lowerDevice, irp);
  LeaveGuard(&extension->removeGuard);
  return status;
}

// The platform unloads the driver only when no filter device is left and no
// request is inside it. Its control device and link go with it: left behind,
// they would point into code that is no longer loaded, and the next load
// could not create them again.
_Use_decl_annotations_ void NTAPI FilterUnload(PDRIVER_OBJECT) {
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, VX_TEXT("\\DosDevices\\VXDevFltr"));
  // The link was made at load; if it is already gone there is nothing left
  // to remove, and the device goes either way.
  (void)IoDeleteSymbolicLink(&linkName);
  if (controlDevice != nullptr) IoDeleteDevice(controlDevice);
  controlDevice = nullptr;
}

}  // namespace vx::driver

// Creates the control device and its link, fills the dispatch table, then
// readies the rule list and the log before any request can arrive.
VX_EXTERN_C _Use_decl_annotations_ NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  using namespace vx::driver;
  UNICODE_STRING deviceName;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&deviceName, VX_TEXT("\\Device\\VXDevFltr"));
  RtlInitUnicodeString(&linkName, VX_TEXT("\\DosDevices\\VXDevFltr"));
  NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &controlDevice);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(controlDevice);
    controlDevice = nullptr;
    return status;
  }

  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = DispatchPassThrough;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
  driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlushShutdown;
  driver->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchFlushShutdown;
  driver->DriverExtension->AddDevice = FilterAddDevice;
  driver->DriverUnload = FilterUnload;

  InitDriverState();
  return STATUS_SUCCESS;
}
