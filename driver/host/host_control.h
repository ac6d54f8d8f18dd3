// Test-side controls and checks of the user-mode kernel stand-in.
#pragma once

#include <cstddef>
#include <optional>
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
size_t TokenHandlesOutstanding();

// Waits until at least `count` threads are blocked in KeWaitForSingleObject
// (a removal waiting for the requests inside the driver, for example).
void WaitForEventWaiters(int count);

// Who the calling thread is, as the token a create sees tells it.
enum class Caller {
  kLocalSystem,            // the service: user SYSTEM, Administrators enabled
  kAdministrator,          // an elevated administrator: Administrators enabled
  kFilteredAdministrator,  // an administrator without elevation: Administrators for deny only
  kStandardUser,           // Users, Everyone and a domain group whose last part is 544
  kAnonymous,              // only as an impersonation: no token can be opened
};

// While it lives, the calling thread's process token is `process` and, when
// `impersonated` is given, its thread token that one. Threads are LocalSystem
// without impersonation otherwise.
class CallerScope {
 public:
  explicit CallerScope(Caller process, std::optional<Caller> impersonated = std::nullopt);
  ~CallerScope();
  CallerScope(const CallerScope&) = delete;
  CallerScope& operator=(const CallerScope&) = delete;

 private:
  Caller previousProcess_;
  std::optional<Caller> previousImpersonated_;
};

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

// Internal: ZwClose of a key or token handle; false when `handle` is not one.
bool CloseKeyHandle(HANDLE handle, NTSTATUS* status);
bool CloseTokenHandle(HANDLE handle, NTSTATUS* status);

// Internal: IRP life-cycle hooks used by the sender helpers.
struct HostIrp;
PIRP AllocateIrp(CCHAR stackSize);
void FreeIrp(PIRP irp);
// Makes a completed IRP ready to be sent again (benchmarks reuse one).
void ReuseIrp(PIRP irp);
// Waits until the IRP has been completed to its top.
void WaitForCompletion(PIRP irp);

}  // namespace vx::host
