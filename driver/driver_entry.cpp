// Load of the driver, the dispatch table, and the routines that treat the
// control device and a filter device alike or simply pass requests on.
#include "driver/filter_driver.h"

namespace vx::driver {

PDEVICE_OBJECT controlDevice;

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS CompleteRefused(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Information = 0;
  return CompleteRequest(irp, status);
}

NTSTATUS ForwardRequest(FILTER_EXTENSION* extension, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(extension->lowerDevice, irp);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT, PIRP irp) { return CompleteRequest(irp, STATUS_SUCCESS); }

NTSTATUS NTAPI DispatchPassThrough(PDEVICE_OBJECT device, PIRP irp) {
  if (device == controlDevice) return CompleteRequest(irp, STATUS_SUCCESS);
  auto* extension = static_cast<FILTER_EXTENSION*>(device->DeviceExtension);
  if (!EnterGuard(&extension->removeGuard)) return CompleteRefused(irp, STATUS_DELETE_PENDING);
  const NTSTATUS status = ForwardRequest(extension, irp);
  LeaveGuard(&extension->removeGuard);
  return status;
}

NTSTATUS NTAPI DispatchFlushShutdown(PDEVICE_OBJECT device, PIRP irp) { return DispatchPassThrough(device, irp); }

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  if (device == controlDevice) return CompleteRequest(irp, STATUS_SUCCESS);
  auto* extension = static_cast<FILTER_EXTENSION*>(device->DeviceExtension);
  PoStartNextPowerIrp(irp);
  if (!EnterGuard(&extension->removeGuard)) return CompleteRefused(irp, STATUS_DELETE_PENDING);
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = PoCallDriver(extension->lowerDevice, irp);
  LeaveGuard(&extension->removeGuard);
  return status;
}

// The driver can unload only when no filter device is left. Its control
// device and link go with it: left behind, they would point into code that is
// no longer loaded, and the next load could not create them again.
void NTAPI FilterUnload(PDRIVER_OBJECT) {
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, VX_TEXT("\\DosDevices\\VXDevFltr"));
  IoDeleteSymbolicLink(&linkName);
  if (controlDevice != nullptr) IoDeleteDevice(controlDevice);
  controlDevice = nullptr;
}

}  // namespace vx::driver

VX_EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
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
