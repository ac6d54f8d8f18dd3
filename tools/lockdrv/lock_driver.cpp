// VXDevCtrl.sys: keeps the CD/DVD and floppy lock states it is sent and logs
// every change in a LOCK_LOG that IOCTL_GET_LOCK_LOG hands out once. Its
// control device opens only for LocalSystem and administrators in force
// (driver/control_caller.h), as whoever holds it sets the drive locks.
//
// Built against the DDK for Windows and natively against the filter driver's
// kernel stand-in, so its tests run with real requests on both.
#include "driver/kernel_api.h"
// The kernel header comes first so that the shared codes use its CTL_CODE.
#include "common/lock_control.h"
#include "driver/control_caller.h"
#include "tools/lockdrv/lock_driver.h"

namespace {

// The names as the kernel takes them, the same text as the shared ones.
constexpr const WCHAR kDeviceName[] = VX_TEXT("\\Device\\VXDevCtrl");
constexpr const WCHAR kLinkName[] = VX_TEXT("\\DosDevices\\VXDevCtrl");

template <typename A, typename B, size_t N, size_t M>
constexpr bool SameText(const A (&a)[N], const B (&b)[M]) {
  if (N != M) return false;
  for (size_t i = 0; i < N; ++i) {
    if (static_cast<unsigned>(a[i]) != static_cast<unsigned>(b[i])) return false;
  }
  return true;
}
static_assert(SameText(kDeviceName, VX_LOCK_DEVICE_NAME), "device name as in lock_control.h");
static_assert(SameText(kLinkName, VX_LOCK_LINK_NAME), "link name as in lock_control.h");

constexpr UCHAR kActionLocked = 0;
constexpr UCHAR kActionUnlocked = 1;

struct LockDriverState {
  KSPIN_LOCK lock;
  bool cdDvdLocked;
  bool floppyLocked;
  LOCK_LOG log;  // count byte and entries 0 .. count-1 are valid
};

PDEVICE_OBJECT controlDevice;

LockDriverState* State() { return static_cast<LockDriverState*>(controlDevice->DeviceExtension); }

void CopyName(UCHAR* slot, const char* name) {
  for (int i = 0; i < LOCK_LOG_NAME_SIZE; ++i) slot[i] = 0;
  for (int i = 0; name[i] != '\0' && i < LOCK_LOG_NAME_SIZE - 1; ++i) slot[i] = static_cast<UCHAR>(name[i]);
}

// Appends one entry stamped with the local time. Called with the state's
// spin lock held (the time routines are callable at that level); takes
// nothing else.
_IRQL_requires_(DISPATCH_LEVEL) void AppendEntry(LockDriverState* state, const char* name, UCHAR action) {
  UCHAR* bytes = state->log.bytes;
  const int count = static_cast<signed char>(bytes[LOCK_LOG_COUNT_OFFSET]);
  if (count >= LOCK_LOG_MAX_ENTRIES) return;
  LARGE_INTEGER systemTime, localTime;
  TIME_FIELDS fields;
  KeQuerySystemTime(&systemTime);
  ExSystemTimeToLocalTime(&systemTime, &localTime);
  RtlTimeToTimeFields(&localTime, &fields);
  CopyName(bytes + LOCK_LOG_NAMES_OFFSET + LOCK_LOG_NAME_SIZE * count, name);
  UCHAR* when = bytes + LOCK_LOG_TIMES_OFFSET + LOCK_LOG_TIME_SIZE * count;
  when[0] = static_cast<UCHAR>(fields.Year & 0xFF);
  when[1] = static_cast<UCHAR>(fields.Year >> 8);
  when[2] = static_cast<UCHAR>(fields.Month);
  when[3] = static_cast<UCHAR>(fields.Day);
  when[4] = static_cast<UCHAR>(fields.Hour);
  when[5] = static_cast<UCHAR>(fields.Minute);
  when[6] = static_cast<UCHAR>(fields.Second);
  bytes[LOCK_LOG_ACTIONS_OFFSET + count] = action;
  bytes[LOCK_LOG_COUNT_OFFSET] = static_cast<UCHAR>(count + 1);
}

// Takes the state's spin lock, so the caller must hold no lock.
_IRQL_requires_max_(DISPATCH_LEVEL) void SetLock(bool LockDriverState::*which, const char* name, bool locked) {
  LockDriverState* state = State();
  KIRQL irql;
  KeAcquireSpinLock(&state->lock, &irql);
  if (state->*which != locked) {
    state->*which = locked;
    AppendEntry(state, name, locked ? kActionLocked : kActionUnlocked);
  }
  KeReleaseSpinLock(&state->lock, irql);
}

// Moves the log out into `output` and empties it, in one step against
// appends. Takes the state's spin lock, so the caller must hold no lock.
// `output` is the request's locked system address.
_IRQL_requires_max_(DISPATCH_LEVEL) void TakeLog(UCHAR* output) {
  LockDriverState* state = State();
  KIRQL irql;
  KeAcquireSpinLock(&state->lock, &irql);
  for (ULONG i = 0; i < LOCK_LOG_SIZE; ++i) {
    output[i] = state->log.bytes[i];
    state->log.bytes[i] = 0;
  }
  KeReleaseSpinLock(&state->lock, irql);
}

// Returns `status`, which the dispatch routine returns. No spin lock may be
// held: completing may run the completion routines of the sender.
[[nodiscard]] _IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// In the thread of the service's DeviceIoControl; holds no lock of its own
// across the routines it calls, and none when it completes the request.
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchControl;
_Use_decl_annotations_ NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_CDDVD_LOCK:
      SetLock(&LockDriverState::cdDvdLocked, "CD/DVD", true);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_CDDVD_UNLOCK:
      SetLock(&LockDriverState::cdDvdLocked, "CD/DVD", false);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_FLOPPY_LOCK:
      SetLock(&LockDriverState::floppyLocked, "Floppy", true);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_FLOPPY_UNLOCK:
      SetLock(&LockDriverState::floppyLocked, "Floppy", false);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_GET_LOCK_LOG: {
      if (stack->Parameters.DeviceIoControl.OutputBufferLength < LOCK_LOG_SIZE || !irp->MdlAddress)
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      auto* output = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
      if (!output) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      TakeLog(output);
      return Complete(irp, STATUS_SUCCESS, LOCK_LOG_SIZE);
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// In the opening thread, whose token decides (driver/control_caller.h).
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchCreate;
_Use_decl_annotations_ NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT, PIRP irp) {
  return Complete(irp, vx::driver::CheckControlCaller(), 0);
}

// Close and cleanup: nothing is kept per handle.
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchClose;
_Use_decl_annotations_ NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT, PIRP irp) {
  return Complete(irp, STATUS_SUCCESS, 0);
}

// Called only once no request is inside the driver any more.
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_UNLOAD LockDriverUnload;
_Use_decl_annotations_ void NTAPI LockDriverUnload(PDRIVER_OBJECT) {
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, kLinkName);
  // The link was made at load; if it is already gone there is nothing left
  // to remove, and the device goes either way.
  (void)IoDeleteSymbolicLink(&linkName);
  IoDeleteDevice(controlDevice);
  controlDevice = nullptr;
}

}  // namespace

// At load: the control device with its state, its link, then the dispatch
// table.
VX_EXTERN_C _Use_decl_annotations_ NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  UNICODE_STRING deviceName, linkName;
  RtlInitUnicodeString(&deviceName, kDeviceName);
  RtlInitUnicodeString(&linkName, kLinkName);
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(LockDriverState), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &controlDevice);
  if (!NT_SUCCESS(status)) return status;
  LockDriverState* state = State();
  KeInitializeSpinLock(&state->lock);
  state->cdDvdLocked = false;
  state->floppyLocked = false;
  for (ULONG i = 0; i < LOCK_LOG_SIZE; ++i) state->log.bytes[i] = 0;
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(controlDevice);
    controlDevice = nullptr;
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->DriverUnload = LockDriverUnload;
  return STATUS_SUCCESS;
}
