#include <ntddk.h>

namespace {

PDEVICE_OBJECT controlDevice;

NTSTATUS NTAPI CompleteWithSuccess(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

void NTAPI FilterUnload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING deviceName;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&deviceName, L"\\Device\\VXDevFltr");
  RtlInitUnicodeString(&linkName, L"\\DosDevices\\VXDevFltr");
  NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &controlDevice);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(controlDevice);
    return status;
  }
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = CompleteWithSuccess;
  driver->DriverUnload = FilterUnload;
  return STATUS_SUCCESS;
}
