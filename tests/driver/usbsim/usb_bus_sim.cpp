// Test-only kernel driver: a ROOT-enumerated bus with one simulated USB
// storage disk, so the filter driver can be driven by the platform under
// Wine. The bus answers BusRelations with the disk's device object while it
// is plugged; the disk answers its identity queries, the storage property
// query (bus type USB, one buffer for input and output) and reads and writes.
// A control device (\\.\VXUsbSim) plugs and unplugs the disk and sends reads,
// writes and the writability query through the top of the disk's stack.
#include <ntddk.h>

namespace {

constexpr ULONG kPlug = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kUnplug = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kSendThroughStack = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlStorageQueryProperty = 0x002D1400;
constexpr ULONG kIoctlDiskIsWritable = 0x00070024;
constexpr ULONG kTag = 'm' | ('i' << 8) | ('s' << 16) | ('u' << 24);

enum class Kind { kControl, kBus, kDisk };
struct EXTENSION {
  Kind kind;
  PDEVICE_OBJECT lower;  // bus: the device below it
};

PDEVICE_OBJECT controlDevice;
PDEVICE_OBJECT busDevice;
PDEVICE_OBJECT rootDevice;  // the ROOT device under the bus
PDEVICE_OBJECT disk;        // present while plugged
bool plugged;

EXTENSION* Ext(PDEVICE_OBJECT device) { return static_cast<EXTENSION*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PWCHAR CopyText(const wchar_t* text, size_t characters) {
  auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, characters * sizeof(WCHAR), kTag));
  if (copy != nullptr) {
    for (size_t i = 0; i < characters; ++i) copy[i] = text[i];
  }
  return copy;
}

NTSTATUS DiskPnp(PIRP irp, PIO_STACK_LOCATION stack) {
  static const wchar_t kDeviceId[] = L"USBSTOR\\Disk&Ven_Acme&Prod_Sim_Stick&Rev_1.00";
  static const wchar_t kHardwareIds[] = L"USBSTOR\\Disk&Ven_Acme&Prod_Sim_Stick&Rev_1.00\0USBSTOR\\GenDisk\0";
  static const wchar_t kInstanceId[] = L"SIM0001&0";
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      const wchar_t* text = nullptr;
      size_t characters = 0;
      switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          text = kDeviceId, characters = sizeof kDeviceId / sizeof(wchar_t);
          break;
        case BusQueryHardwareIDs:
          text = kHardwareIds, characters = sizeof kHardwareIds / sizeof(wchar_t);
          break;
        case BusQueryInstanceID:
          text = kInstanceId, characters = sizeof kInstanceId / sizeof(wchar_t);
          break;
        default:
          return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
      }
      PWCHAR copy = CopyText(text, characters);
      return copy ? Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy))
                  : Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      capabilities->Removable = TRUE;
      capabilities->SurpriseRemovalOK = TRUE;
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE: {
      PDEVICE_OBJECT self = stack->DeviceObject;
      Complete(irp, STATUS_SUCCESS, 0);
      if (!plugged && self == disk) {
        disk = nullptr;
        IoDeleteDevice(self);
      }
      return STATUS_SUCCESS;
    }
    default:
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack) {
  if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
      stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
    if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    relations->Count = 0;
    if (plugged && disk != nullptr) {
      relations->Count = 1;
      relations->Objects[0] = disk;
      ObfReferenceObject(disk);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  } else if (stack->MinorFunction == IRP_MN_START_DEVICE) {
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IofCallDriver(Ext(device)->lower, irp);
    IoDetachDevice(Ext(device)->lower);
    busDevice = nullptr;
    IoDeleteDevice(device);
    return status;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(Ext(device)->lower, irp);
}

// Sends one request to the top of the disk's stack and waits for it.
NTSTATUS SendThroughStack(UCHAR major, ULONG code) {
  if (disk == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(disk);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus;
  static UCHAR sector[512];
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  PIRP irp = major == IRP_MJ_DEVICE_CONTROL
                 ? IoBuildDeviceIoControlRequest(code, top, nullptr, 0, nullptr, 0, FALSE, &event, &ioStatus)
                 : IoBuildSynchronousFsdRequest(major, top, sector, sizeof sector, &offset, &event, &ioStatus);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (irp != nullptr) {
    status = IofCallDriver(top, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = ioStatus.Status;
    }
  }
  ObfDereferenceObject(top);
  return status;
}

NTSTATUS ControlRequest(PIRP irp, PIO_STACK_LOCATION stack) {
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (code == kPlug || code == kUnplug) {
    if (code == kPlug && disk == nullptr) {
      PDEVICE_OBJECT created = nullptr;
      const NTSTATUS status = IoCreateDevice(controlDevice->DriverObject, sizeof(EXTENSION), nullptr, FILE_DEVICE_DISK,
                                             FILE_AUTOGENERATED_DEVICE_NAME | FILE_REMOVABLE_MEDIA, FALSE, &created);
      if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
      Ext(created)->kind = Kind::kDisk;
      Ext(created)->lower = nullptr;
      created->Flags &= ~DO_DEVICE_INITIALIZING;
      disk = created;
    }
    // The state before the request goes back to a caller that asks, so it can
    // say "already plugged" rather than pretend it plugged the stick.
    const bool wasPlugged = plugged;
    plugged = code == kPlug;
    if (rootDevice != nullptr) IoInvalidateDeviceRelations(rootDevice, BusRelations);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < 4) return Complete(irp, STATUS_SUCCESS, 0);
    *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = wasPlugged ? 1 : 0;
    return Complete(irp, STATUS_SUCCESS, 4);
  }
  if (code == kSendThroughStack) {
    // Input: the major function (READ, WRITE or DEVICE_CONTROL) and a code;
    // output: the status the stack gave.
    if (stack->Parameters.DeviceIoControl.InputBufferLength < 8 ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < 4) {
      return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    auto* words = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
    const NTSTATUS result = SendThroughStack(static_cast<UCHAR>(words[0]), words[1]);
    words[0] = static_cast<ULONG>(result);
    return Complete(irp, STATUS_SUCCESS, 4);
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (Ext(device)->kind) {
    case Kind::kControl:
      if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) return ControlRequest(irp, stack);
      return Complete(irp, STATUS_SUCCESS, 0);
    case Kind::kBus:
      if (stack->MajorFunction == IRP_MJ_PNP) return BusPnp(device, irp, stack);
      if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(Ext(device)->lower, irp);
      }
      IoSkipCurrentIrpStackLocation(irp);
      return IofCallDriver(Ext(device)->lower, irp);
    case Kind::kDisk:
      switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
          return DiskPnp(irp, stack);
        case IRP_MJ_POWER:
          PoStartNextPowerIrp(irp);
          return Complete(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_READ:
          return Complete(irp, STATUS_SUCCESS, stack->Parameters.Read.Length);
        case IRP_MJ_WRITE:
          return Complete(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
        case IRP_MJ_DEVICE_CONTROL:
          if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlStorageQueryProperty) {
            const ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
            if (room < 40) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            auto* descriptor = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            for (int i = 0; i < 40; ++i) descriptor[i] = 0;
            descriptor[0] = 40;
            descriptor[4] = 40;
            descriptor[28] = 7;  // BusTypeUsb
            return Complete(irp, STATUS_SUCCESS, 40);
          }
          if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlDiskIsWritable) {
            return Complete(irp, STATUS_SUCCESS, 0);
          }
          return Complete(irp, STATUS_SUCCESS, 0);
        default:
          return Complete(irp, STATUS_SUCCESS, 0);
      }
  }
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(EXTENSION), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  Ext(device)->kind = Kind::kBus;
  Ext(device)->lower = IoAttachDeviceToDeviceStack(device, physicalDevice);
  rootDevice = physicalDevice;
  busDevice = device;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, L"\\DosDevices\\VXUsbSim");
  IoDeleteSymbolicLink(&link);
  if (controlDevice != nullptr) IoDeleteDevice(controlDevice);
  controlDevice = nullptr;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING name;
  UNICODE_STRING link;
  RtlInitUnicodeString(&name, L"\\Device\\VXUsbSim");
  RtlInitUnicodeString(&link, L"\\DosDevices\\VXUsbSim");
  NTSTATUS status = IoCreateDevice(driver, sizeof(EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &controlDevice);
  if (!NT_SUCCESS(status)) return status;
  Ext(controlDevice)->kind = Kind::kControl;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(controlDevice);
    return status;
  }
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
