// Group checks on an access token: the policy boundary of the control
// interface (the caller's token) and vxctl's own rights (its process token).
#pragma once

#include <windows.h>

namespace vx {

// Whether `token` holds the Administrators group enabled. `token` is an
// impersonation token, or null for the calling thread's own identity. A
// group present only for deny (an administrator's token that was not
// elevated) does not count. Any failure is false.
[[nodiscard]] bool TokenIsAdministrator(HANDLE token);

// The same, or the token is LocalSystem's.
[[nodiscard]] bool TokenIsAdministratorOrLocalSystem(HANDLE token);

}  // namespace vx
