// Test-side controls and checks of the user-mode kernel stand-in.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "driver/host/kernel.h"

namespace vx::host {

// Debugger output (DbgPrint), one entry per call, in order.
std::vector<std::string> TakeDebugLines();

// Outstanding pool allocations (all tags, or one tag) and IRPs.
size_t PoolAllocationsOutstanding();
size_t PoolAllocationsOutstanding(ULONG tag);
size_t IrpsOutstanding();
size_t KeyHandlesOutstanding();

// The local time the stand-in's clock reports (system time is UTC; the
// local-time bias is applied by ExSystemTimeToLocalTime).
void SetLocalTime(int year, int month, int day, int hour, int minute, int second);

// Advances the clock by `seconds` on every reading, so that each reading
// (and each log entry) carries a time of its own.
void SetClockStep(int seconds);

// Lets the next `successes` allocations (pool or device objects) succeed and
// makes the one after them fail.
void FailAllocationAfter(int successes);

// Symbolic links: the device a link name (\DosDevices\X) points at, or null.
PDEVICE_OBJECT DeviceForLink(const std::u16string& link);

// Internal: IRP life-cycle hooks used by the sender helpers.
struct HostIrp;
PIRP AllocateIrp(CCHAR stackSize);
void FreeIrp(PIRP irp);
// Makes a completed IRP ready to be sent again (benchmarks reuse one).
void ReuseIrp(PIRP irp);
// Waits until the IRP has been completed to its top.
void WaitForCompletion(PIRP irp);

}  // namespace vx::host
