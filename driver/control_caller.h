// Who may open a control device (the filter's \\.\VXDevFltr and the lock
// driver's \\.\VXDevCtrl): LocalSystem, which the service runs as, and
// members of the Administrators group whose membership is in force (an
// administrator without elevation holds it for deny only and is refused).
// Whoever opens a control device can replace the rule list or the drive
// locks, so this is the boundary between users and the policy.
//
// The check is made by the driver when the create arrives, not by a
// security descriptor on the device object:
// - IoCreateDeviceSecure comes from wdmsec.lib, which mingw-w64 does not
//   ship, and the kernel does not export it;
// - setting a descriptor ourselves (ObSetSecurityObjectByPointer) and the
//   subject-context routines (SeCaptureSubjectContext, SeAccessCheck,
//   SeTokenIsAdmin, SeExports) are exported by both Windows and Wine, but
//   Wine's are unimplemented entries that raise an exception when called,
//   so the same image would stop the driver host under Wine;
// - the token routines used here (ZwOpenThreadTokenEx, ZwOpenProcessTokenEx,
//   ZwQueryInformationToken) are ntoskrnl exports since Windows XP, resolve
//   from mingw's import library and work under Wine.
// Every open of the device, a path below it included, reaches the driver's
// create routine, so nothing is opened around the check.
#pragma once

#include "driver/kernel_api.h"

namespace vx::driver {

// STATUS_SUCCESS when the thread sending the create is LocalSystem or an
// administrator in force, STATUS_ACCESS_DENIED otherwise, and whenever the
// caller's token cannot be read (the check fails closed).
//
// Called in the thread that opens the device: the I/O manager sends a create
// from the opening thread to the top of the device's stack, and nothing
// attaches above a control device. Takes the impersonation token when the
// thread impersonates, else the process token. Must not be called with a
// spin lock or any other lock held: it allocates paged pool.
[[nodiscard]] _IRQL_requires_(PASSIVE_LEVEL) NTSTATUS CheckControlCaller();

}  // namespace vx::driver
