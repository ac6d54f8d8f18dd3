// Attaching a filter device above each USB disk, and its Plug and Play life:
// start, removal, and everything else passed down.
#include "driver/filter_driver.h"

namespace vx::driver {

namespace {

// The standard storage property query: device property, standard query.
struct STORAGE_QUERY {
  ULONG propertyId;
  ULONG queryType;
  UCHAR additionalParameters[4];
};
static_assert(sizeof(STORAGE_QUERY) == 12, "the query is 12 bytes");
constexpr ULONG kBusTypeOffset = 28;  // BusType in the returned device descriptor

// Whether the disk's bus is USB; false also when the query cannot be made or
// fails. One pool buffer is both the query's input and its output: legal for
// a buffered request, and the only form some platforms fill in. It waits for
// the disk's answer, so no lock may be held.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) bool QueryBusType(PDEVICE_OBJECT physicalDevice) {
  auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kNameBufferSize, kQueryTag));
  if (buffer == nullptr) return false;
  for (ULONG i = 0; i < kNameBufferSize; ++i) buffer[i] = 0;  // propertyId 0, queryType 0

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus;
  ioStatus.Status = STATUS_UNSUCCESSFUL;
  ioStatus.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctlStorageQueryProperty, physicalDevice, buffer, sizeof(STORAGE_QUERY),
                                           buffer, kNameBufferSize, FALSE, &event, &ioStatus);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  if (irp != nullptr) {
    status = IofCallDriver(physicalDevice, irp);
    if (status == STATUS_PENDING) {
      // Kernel-mode, non-alertable, no time-out: returns once signalled.
      (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = ioStatus.Status;
    }
  }
  const bool usb = NT_SUCCESS(status) && buffer[kBusTypeOffset] == kBusTypeUsb;
  ExFreePoolWithTag(buffer, kQueryTag);
  return usb;
}

// Wakes ForwardAndWait, and keeps the request for it: it may run in any
// thread, inside the lower driver's completion, so it only sets the event.
_IRQL_requires_max_(DISPATCH_LEVEL) IO_COMPLETION_ROUTINE SignalOnCompletion;
_Use_decl_annotations_ NTSTATUS NTAPI SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the disk below is done with it;
// the request stays with the filter, which completes it. It waits, so no
// lock may be held.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) NTSTATUS ForwardAndWait(FILTER_EXTENSION* extension, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalOnCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(extension->lowerDevice, irp);
  if (status == STATUS_PENDING) {
    // Kernel-mode, non-alertable, no time-out: returns once signalled.
    (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

// Reads the key name (registry calls), so no lock may be held.
_IRQL_requires_(PASSIVE_LEVEL) void ReadIdentity(FILTER_EXTENSION* extension) {
  extension->keyName = GetDeviceKeyName(extension->physicalDevice);
  const uint16_t* name = nullptr;
  size_t length = 0;
  if (extension->keyName != nullptr && extension->keyName->Name.Buffer != nullptr) {
    name = reinterpret_cast<const uint16_t*>(extension->keyName->Name.Buffer);
    length = extension->keyName->Name.Length / sizeof(WCHAR);
  }
  ParseDeviceIdentity(name, length, &extension->identity);
  PrepareIdentity(&extension->identity, &extension->prepared);
}

// The disk's start keeps the lower driver's status, success or not, and the
// filter device takes on the lower device's removable-media, read-only and
// floppy traits either way. It waits for the disk below, so no lock may be
// held.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StartDevice(FILTER_EXTENSION* extension, PIRP irp) {
  const NTSTATUS status = ForwardAndWait(extension, irp);
  constexpr ULONG kCopied = FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE | FILE_FLOPPY_DISKETTE;
  extension->self->Characteristics |= extension->lowerDevice->Characteristics & kCopied;
  return CompleteRequest(irp, status);
}

// Waits for every request inside the driver, then releases the key name,
// passes the removal down, detaches and deletes the filter device. Requests
// that arrive meanwhile are refused with STATUS_DELETE_PENDING by the guard.
// It waits, so no lock may be held; after it the extension is gone.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) NTSTATUS RemoveDevice(FILTER_EXTENSION* extension, PIRP irp) {
  LeaveGuardAndWait(&extension->removeGuard);
  if (extension->keyName != nullptr) {
    ExFreePoolWithTag(extension->keyName, kKeyNameTag);
    extension->keyName = nullptr;
  }
  const NTSTATUS status = ForwardAndWait(extension, irp);
  PDEVICE_OBJECT self = extension->self;
  IoDetachDevice(extension->lowerDevice);
  IoDeleteDevice(self);
  return CompleteRequest(irp, status);
}

}  // namespace

// From the Plug and Play manager, once for every disk: attaches a filter
// device above a USB disk only. The device takes requests once
// DO_DEVICE_INITIALIZING is cleared, so the identity and first verdict are
// in place before any read can reach it.
_Use_decl_annotations_ NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  if (!QueryBusType(physicalDevice)) return STATUS_SUCCESS;  // not USB: left unfiltered

  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FILTER_EXTENSION), nullptr, FILE_DEVICE_DISK, FILE_DEVICE_SECURE_OPEN,
                                   FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags |= DO_DIRECT_IO;

  auto* extension = static_cast<FILTER_EXTENSION*>(device->DeviceExtension);
  auto* bytes = reinterpret_cast<UCHAR*>(extension);
  for (size_t i = 0; i < sizeof(FILTER_EXTENSION); ++i) bytes[i] = 0;
  extension->physicalDevice = physicalDevice;
  InitRemoveGuard(&extension->removeGuard);

  extension->lowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
  if (extension->lowerDevice == nullptr) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  extension->self = device;

  ReadIdentity(extension);
  JudgeArrival(extension);

  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

// From the Plug and Play manager. Start and removal wait for the disk below;
// removal also ends the guard the other paths enter.
_Use_decl_annotations_ NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  if (device == controlDevice) return CompleteRequest(irp, STATUS_SUCCESS);
  auto* extension = static_cast<FILTER_EXTENSION*>(device->DeviceExtension);
  if (!EnterGuard(&extension->removeGuard)) return CompleteRefused(irp, STATUS_DELETE_PENDING);

  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      const NTSTATUS status = StartDevice(extension, irp);
      LeaveGuard(&extension->removeGuard);
      return status;
    }
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(extension, irp);  // releases the lock itself
    default: {
      const NTSTATUS status = ForwardRequest(extension, irp);
      LeaveGuard(&extension->removeGuard);
      return status;
    }
  }
}

}  // namespace vx::driver
