#include "driver/host/host_driver.h"

#include <cstdlib>
#include <cstring>

#include "driver/host/host_control.h"

namespace vx::host {

[[noreturn]] void Fatal(const char* what);

namespace {

bool driverLoaded = false;

// Sends a prepared IRP to the top of a stack and waits for it to finish.
IoResult Send(PDEVICE_OBJECT device, PIRP irp) {
  IoResult result{};
  result.returned = IofCallDriver(device, irp);
  if (result.returned == STATUS_PENDING) {
    WaitForCompletion(irp);
  }
  WaitForCompletion(irp);  // a routine that did not pend must have completed
  result.status = irp->IoStatus.Status;
  result.information = irp->IoStatus.Information;
  if (result.returned != STATUS_PENDING && result.returned != result.status) {
    Fatal("dispatch routine returned a status other than the request's");
  }
  return result;
}

PIRP NewIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor) {
  PIRP irp = AllocateIrp(device->StackSize);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  // The Plug and Play manager starts its requests as not supported.
  irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  return irp;
}

}  // namespace

LoadedDriver::LoadedDriver(PDRIVER_INITIALIZE entry, const std::u16string& name) : linkName_(u"\\DosDevices\\" + name) {
  if (driverLoaded) Fatal("a driver is already loaded");
  driverLoaded = true;
  extension_.DriverObject = &driver_;
  driver_.DriverExtension = &extension_;
  const std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name;
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, path.c_str());
  entryStatus_ = entry(&driver_, &registryPath);
}

LoadedDriver::~LoadedDriver() {
  if (NT_SUCCESS(entryStatus_)) {
    if (driver_.DeviceObject != nullptr && driver_.DeviceObject->NextDevice != nullptr) {
      Fatal("driver unloaded with a filter device still present");
    }
    if (driver_.DriverUnload != nullptr) driver_.DriverUnload(&driver_);
  }
  if (driver_.DeviceObject != nullptr) Fatal("the unload routine left a device behind");
  if (DeviceForLink(linkName_) != nullptr) Fatal("the unload routine left its link behind");
  driverLoaded = false;
}

NTSTATUS LoadedDriver::Plug(FakeDisk& disk) {
  const NTSTATUS status = extension_.AddDevice(&driver_, disk.Pdo());
  if (!NT_SUCCESS(status)) return status;
  return SendRequest(disk.Top(), IRP_MJ_PNP, IRP_MN_START_DEVICE).status;
}

IoResult LoadedDriver::Unplug(FakeDisk& disk) { return SendRequest(disk.Top(), IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE); }

namespace {

PDEVICE_OBJECT DeviceForUserPath(const std::u16string& userPath) {
  const std::u16string prefix = u"\\\\.\\";
  if (userPath.compare(0, prefix.size(), prefix) != 0) return nullptr;
  return DeviceForLink(u"\\DosDevices\\" + userPath.substr(prefix.size()));
}

}  // namespace

IoResult SendCreate(const std::u16string& userPath, Caller caller, std::optional<Caller> impersonated) {
  PDEVICE_OBJECT device = DeviceForUserPath(userPath);
  if (device == nullptr) return {STATUS_OBJECT_NAME_NOT_FOUND, 0, STATUS_OBJECT_NAME_NOT_FOUND};
  // The I/O manager sends a create from the thread that opens the device.
  CallerScope scope(caller, impersonated);
  return SendRequest(device, IRP_MJ_CREATE);
}

PDEVICE_OBJECT OpenDevice(const std::u16string& userPath, Caller caller) {
  return NT_SUCCESS(SendCreate(userPath, caller).status) ? DeviceForUserPath(userPath) : nullptr;
}

IoResult SendDeviceControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength) {
  PIRP irp = NewIrp(device, IRP_MJ_DEVICE_CONTROL, 0);
  // Any code may be sent, so every transfer type is modelled: buffered (one
  // system buffer for both sides), direct (input in the system buffer,
  // output behind an MDL) and neither (the caller's own pointers).
  const ULONG method = code & 3;
  const bool buffered = method == METHOD_BUFFERED;
  const bool direct = method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT;
  const size_t bufferSize = buffered ? (inputLength > outputLength ? inputLength : outputLength)
                            : direct ? inputLength
                                     : 0;
  void* systemBuffer = bufferSize > 0 ? std::calloc(1, bufferSize) : nullptr;
  if (systemBuffer != nullptr && inputLength > 0) std::memcpy(systemBuffer, input, inputLength);
  irp->AssociatedIrp.SystemBuffer = systemBuffer;
  MDL mdl{output, outputLength};
  if (direct && outputLength > 0) irp->MdlAddress = &mdl;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  if (method == METHOD_NEITHER) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
    irp->UserBuffer = output;
  }
  const IoResult result = Send(device, irp);
  if (NT_SUCCESS(result.status) && result.information > 0) {
    if (result.information > outputLength) Fatal("driver reported more bytes than the output buffer holds");
    if (buffered) std::memcpy(output, systemBuffer, result.information);
  }
  std::free(systemBuffer);
  FreeIrp(irp);
  return result;
}

IoResult SendRead(PDEVICE_OBJECT device, ULONG length) {
  PIRP irp = NewIrp(device, IRP_MJ_READ, 0);
  IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
  const IoResult result = Send(device, irp);
  FreeIrp(irp);
  return result;
}

IoResult SendWrite(PDEVICE_OBJECT device, ULONG length) {
  PIRP irp = NewIrp(device, IRP_MJ_WRITE, 0);
  IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = length;
  const IoResult result = Send(device, irp);
  FreeIrp(irp);
  return result;
}

IoResult SendRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor) {
  PIRP irp = NewIrp(device, major, minor);
  const IoResult result = Send(device, irp);
  FreeIrp(irp);
  return result;
}

}  // namespace vx::host
