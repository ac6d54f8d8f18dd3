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
void InitDriverState();

// The rule generation as the read and write paths see it without a lock.
extern ULONG publishedGeneration;

// Judges the disk again under the rule lock; logs a changed action.
// IRQL: at most DISPATCH_LEVEL; takes the rule lock, so no lock may be held.
LONG RefreshActionLocked(FILTER_EXTENSION* extension);

// The action in force for the disk, judged again first when the rule list
// changed since it was last judged. Inline: the common case, nothing
// changed, is two loads and a compare on every read and write.
// IRQL: at most DISPATCH_LEVEL; no lock may be held (see RefreshActionLocked).
inline LONG RefreshAction(FILTER_EXTENSION* extension) {
  if (__atomic_load_n(&extension->ruleGeneration, __ATOMIC_ACQUIRE) ==
      __atomic_load_n(&publishedGeneration, __ATOMIC_ACQUIRE)) {
    return __atomic_load_n(&extension->action, __ATOMIC_RELAXED);
  }
  return RefreshActionLocked(extension);
}
// Judges a newly arrived disk against the current list and logs its arrival.
// IRQL: PASSIVE_LEVEL (AddDevice); no lock may be held.
void JudgeArrival(FILTER_EXTENSION* extension);

// Events lost to a full log since load (a diagnostic; the log itself is
// never overwritten).
ULONG DroppedLogEntries();

// Control device requests. They change the policy, so they are reached only
// through a handle that DispatchCreate gave to LocalSystem or an
// administrator in force (control_caller.h).
// IRQL: PASSIVE_LEVEL, in the service's thread; no lock may be held.
[[nodiscard]] NTSTATUS SetRuleList(PIRP irp, PIO_STACK_LOCATION stack);
[[nodiscard]] NTSTATUS GetLogs(PIRP irp, PIO_STACK_LOCATION stack);

// The key name buffer of a physical device, or null when it cannot be read.
// IRQL: PASSIVE_LEVEL; no lock may be held.
[[nodiscard]] POBJECT_NAME_INFORMATION GetDeviceKeyName(PDEVICE_OBJECT physicalDevice);

// Completion helpers; each returns the status the dispatch routine returns.
// IRQL: at most DISPATCH_LEVEL; no spin lock may be held (forwarding calls
// down the stack, completing may run completion routines).
[[nodiscard]] NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status);
[[nodiscard]] NTSTATUS CompleteRefused(PIRP irp, NTSTATUS status);
[[nodiscard]] NTSTATUS ForwardRequest(FILTER_EXTENSION* extension, PIRP irp);

// Dispatch routines. Each says its IRQL where it is defined; none is called
// with a lock of the driver held.
[[nodiscard]] NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp);
[[nodiscard]] NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp);
[[nodiscard]] NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp);
[[nodiscard]] NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);
[[nodiscard]] NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
[[nodiscard]] NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
[[nodiscard]] NTSTATUS NTAPI DispatchPassThrough(PDEVICE_OBJECT device, PIRP irp);
[[nodiscard]] NTSTATUS NTAPI DispatchFlushShutdown(PDEVICE_OBJECT device, PIRP irp);
[[nodiscard]] NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
void NTAPI FilterUnload(PDRIVER_OBJECT driver);

}  // namespace vx::driver

VX_EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
