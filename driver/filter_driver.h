// Shared declarations of the filter driver's glue: the filter device's
// extension, the driver-wide state and the dispatch routines.
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
LONG RefreshActionLocked(FILTER_EXTENSION* extension);

// The action in force for the disk, judged again first when the rule list
// changed since it was last judged. Inline: the common case, nothing
// changed, is two loads and a compare on every read and write.
inline LONG RefreshAction(FILTER_EXTENSION* extension) {
  if (__atomic_load_n(&extension->ruleGeneration, __ATOMIC_ACQUIRE) ==
      __atomic_load_n(&publishedGeneration, __ATOMIC_ACQUIRE)) {
    return __atomic_load_n(&extension->action, __ATOMIC_RELAXED);
  }
  return RefreshActionLocked(extension);
}
// Judges a newly arrived disk against the current list and logs its arrival.
void JudgeArrival(FILTER_EXTENSION* extension);

// Events lost to a full log since load (a diagnostic; the log itself is
// never overwritten).
ULONG DroppedLogEntries();

// Control device requests.
NTSTATUS SetRuleList(PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS GetLogs(PIRP irp, PIO_STACK_LOCATION stack);

// The key name buffer of a physical device, or null when it cannot be read.
POBJECT_NAME_INFORMATION GetDeviceKeyName(PDEVICE_OBJECT physicalDevice);

// Completion helpers.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status);
NTSTATUS CompleteRefused(PIRP irp, NTSTATUS status);
NTSTATUS ForwardRequest(FILTER_EXTENSION* extension, PIRP irp);

// Dispatch routines.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchPassThrough(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchFlushShutdown(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
void NTAPI FilterUnload(PDRIVER_OBJECT driver);

}  // namespace vx::driver

VX_EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
