// Shared declarations of the filter driver's glue: the filter device's
// extension, the driver-wide state and the dispatch routines. What each lock
// guards and the order they are taken in is written once, in
// driver_state.cpp; who may open the control device, in control_caller.h.
#pragma once

#include "driver/core/event_log.h"
#include "driver/core/rule_table.h"
#include "driver/kernel_api.h"
#include "driver/remove_guard.h"

namespace vx::driver {

// Pool tag "zqv1" of the key name buffer (bytes z q v 1 in memory).
constexpr ULONG kKeyNameTag = 'z' | ('q' << 8) | ('v' << 16) | ('1' << 24);
// Pool tag "zqv2" of the bus-type query buffer.
constexpr ULONG kQueryTag = 'z' | ('q' << 8) | ('v' << 16) | ('2' << 24);
// Size of both buffers.
constexpr ULONG kNameBufferSize = 2048;

constexpr ULONG kIoctlStorageQueryProperty = 0x002D1400;
constexpr ULONG kIoctlDiskIsWritable = 0x00070024;
constexpr UCHAR kBusTypeUsb = 7;

struct FILTER_EXTENSION {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lowerDevice;
  PDEVICE_OBJECT physicalDevice;
  POBJECT_NAME_INFORMATION keyName;  // kNameBufferSize bytes, tag "zqv1", or null
  DEVICE_IDENTITY identity;          // vendor, product, revision, serial
  LONG action;                       // action in force
  ULONG ruleGeneration;              // rule generation `action` was computed against
  // Requests inside the driver hold this; removal waits for them.
  REMOVE_GUARD removeGuard;
  // The identity prepared for the matcher once, at arrival.
  PREPARED_IDENTITY prepared;
};

// Driver-wide state.
extern PDEVICE_OBJECT controlDevice;
// At load, before any other routine runs.
_IRQL_requires_(PASSIVE_LEVEL) void InitDriverState();

// The lock-free rule-list path: see the head of driver_state.cpp.
// The rule generation as the read and write paths see it without a lock.
extern ULONG publishedGeneration;

// Judges the disk again under the rule lock; logs a changed action. Takes
// the rule lock, so the caller holds no lock of the driver.
_IRQL_requires_max_(DISPATCH_LEVEL) LONG RefreshActionLocked(FILTER_EXTENSION* extension);

// The action in force for the disk, judged again first when the rule list
// changed since it was last judged. Inline: the common case, nothing
// changed, is two loads and a compare on every read and write. The caller
// holds no lock of the driver.
_IRQL_requires_max_(DISPATCH_LEVEL) inline LONG RefreshAction(FILTER_EXTENSION* extension) {
  if (__atomic_load_n(&extension->ruleGeneration, __ATOMIC_ACQUIRE) ==
      __atomic_load_n(&publishedGeneration, __ATOMIC_ACQUIRE)) {
    return __atomic_load_n(&extension->action, __ATOMIC_RELAXED);
  }
  return RefreshActionLocked(extension);
}
// Judges a newly arrived disk against the current list and logs its
// arrival; takes the rule lock, so the caller holds no lock of the driver.
_IRQL_requires_(PASSIVE_LEVEL) void JudgeArrival(FILTER_EXTENSION* extension);

// Events lost to a full log since load (a diagnostic; the log itself is
// never overwritten). Takes the log lock.
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG DroppedLogEntries();

// Control device requests, in the service's thread. They change the policy,
// so they are reached only through a handle that DispatchCreate gave to
// LocalSystem or an administrator in force (control_caller.h). The caller
// holds no lock of the driver; each completes the request.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) NTSTATUS SetRuleList(PIRP irp, PIO_STACK_LOCATION stack);
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) NTSTATUS GetLogs(PIRP irp, PIO_STACK_LOCATION stack);

// The key name buffer of a physical device, or null when it cannot be read.
// It opens and queries a registry key, so it may wait: no lock may be held.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) POBJECT_NAME_INFORMATION GetDeviceKeyName(PDEVICE_OBJECT physicalDevice);

// Completion helpers; each returns the status the dispatch routine returns.
// No spin lock may be held: forwarding calls down the stack, and completing
// may run the completion routines of the drivers above.
[[nodiscard]] _IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status);
[[nodiscard]] _IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS CompleteRefused(PIRP irp, NTSTATUS status);
[[nodiscard]] _IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS ForwardRequest(FILTER_EXTENSION* extension, PIRP irp);

// The routines the platform calls, each declared with its role. None is
// called with a lock of the driver held, and none returns holding one.
// Reads, writes and device control may arrive at up to DISPATCH_LEVEL (a
// driver above may send them from a completion routine or a timer); create,
// Plug and Play, and power on a pageable device arrive at PASSIVE_LEVEL.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchCreate;
[[nodiscard]] _IRQL_requires_max_(DISPATCH_LEVEL) DRIVER_DISPATCH DispatchRead;
[[nodiscard]] _IRQL_requires_max_(DISPATCH_LEVEL) DRIVER_DISPATCH DispatchWrite;
[[nodiscard]] _IRQL_requires_max_(DISPATCH_LEVEL) DRIVER_DISPATCH DispatchDeviceControl;
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchPower;
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchPnp;
[[nodiscard]] _IRQL_requires_max_(DISPATCH_LEVEL) DRIVER_DISPATCH DispatchPassThrough;
[[nodiscard]] _IRQL_requires_max_(DISPATCH_LEVEL) DRIVER_DISPATCH DispatchFlushShutdown;
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) DRIVER_ADD_DEVICE FilterAddDevice;
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_UNLOAD FilterUnload;

}  // namespace vx::driver

// At load, in a system thread.
_IRQL_requires_(PASSIVE_LEVEL) VX_EXTERN_C DRIVER_INITIALIZE DriverEntry;
