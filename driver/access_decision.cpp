// Enforcement of a disk's action on reads, writes and the writability query,
// and the control device's two codes.
#include "driver/filter_driver.h"

namespace vx::driver {

namespace {

FILTER_EXTENSION* ExtensionOf(PDEVICE_OBJECT device) { return static_cast<FILTER_EXTENSION*>(device->DeviceExtension); }

bool ReadRefused(LONG action, PIRP) { return action == ACTION_BLOCK; }
bool WriteRefused(LONG action, PIRP) { return action == ACTION_BLOCK || action == ACTION_READ_ONLY; }
bool WritabilityRefused(LONG action, PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode == kIoctlDiskIsWritable &&
         WriteRefused(action, irp);
}

// Judges the request with the disk's current action: refused at once when
// `Refuses(action)`, otherwise passed to the disk below. Called with no lock
// held; RefreshAction takes the rule lock for a re-evaluation only, and
// releases it before the request moves on.
template <bool (*Refuses)(LONG, PIRP)>
[[nodiscard]] _IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS Enforce(PDEVICE_OBJECT device, PIRP irp, NTSTATUS refusal) {
  FILTER_EXTENSION* extension = ExtensionOf(device);
  if (!EnterGuard(&extension->removeGuard)) return CompleteRefused(irp, STATUS_DELETE_PENDING);
  const LONG action = RefreshAction(extension);
  const NTSTATUS status = Refuses(action, irp) ? CompleteRefused(irp, refusal) : ForwardRequest(extension, irp);
  LeaveGuard(&extension->removeGuard);
  return status;
}

// The control device's codes, in the service's thread; only a handle that
// DispatchCreate gave to LocalSystem or an administrator in force reaches
// them. Holds no lock.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) NTSTATUS ControlDeviceRequest(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SET_RULE_LIST:
      return SetRuleList(irp, stack);
    case IOCTL_GET_LOGS:
      return GetLogs(irp, stack);
    default:
      return CompleteRefused(irp, STATUS_ACCESS_DENIED);
  }
}

}  // namespace

// Reads, writes and device control: their IRQL is where they are declared
// (filter_driver.h); the control device's requests come from the service at
// PASSIVE_LEVEL.
_Use_decl_annotations_ NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
  if (device == controlDevice) return CompleteRequest(irp, STATUS_SUCCESS);
  return Enforce<ReadRefused>(device, irp, STATUS_ACCESS_DENIED);
}

_Use_decl_annotations_ NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
  if (device == controlDevice) return CompleteRequest(irp, STATUS_SUCCESS);
  return Enforce<WriteRefused>(device, irp, STATUS_ACCESS_DENIED);
}

_Use_decl_annotations_ NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  if (device == controlDevice) return ControlDeviceRequest(irp);
  // Any device control request runs the re-evaluation; only the
  // writability query can be refused.
  return Enforce<WritabilityRefused>(device, irp, STATUS_MEDIA_WRITE_PROTECTED);
}

}  // namespace vx::driver
