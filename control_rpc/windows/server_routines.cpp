// The routines that the generated server stub calls on the RPC run time's
// threads, by operation number. Each forwards to the portable operations.
#include "control_rpc/windows/server_routines.h"

#include <atomic>
#include <cstring>

#include "common/filter_control.h"
#include "policy/device_policy.h"
// The shared records are defined: the generated header declares only the
// interface and its routines.
#define VX_DEVICE_POLICY_DEFINED
#include "control_rpc/DeviceControl.h"

namespace vx {
namespace {

std::atomic<ControlOperations*> controlOperations{nullptr};

ControlOperations* Operations() { return controlOperations.load(); }

}  // namespace

RPC_IF_HANDLE ControlInterfaceSpec() { return DeviceControl_v1_0_s_ifspec; }

void UseControlOperations(ControlOperations* operations) { controlOperations.store(operations); }

}  // namespace vx

using vx::Operations;

// The interface is registered only after the operations are set, so every
// call finds them; the checks keep a stray call harmless all the same.

// SetDriveLocks, ChangePassword and SetPolicy change the policy: the
// operations serve them only to callers whose token is an administrator's or
// LocalSystem's (RpcCallerIdentity) and return 0 to anyone else.

// Administrators and LocalSystem only.
int __cdecl SetDriveLocks(unsigned int mask) { return Operations() ? Operations()->SetDriveLocks(mask) : 0; }

int __cdecl GetDriveLocks(void) { return Operations() ? Operations()->GetDriveLocks() : 0; }

int __cdecl CheckPassword(const char* candidate) {
  return Operations() && candidate ? Operations()->CheckPassword(candidate) : 0;
}

// Administrators and LocalSystem only.
int __cdecl ChangePassword(const char* current, const char* newPassword, unsigned int followParent) {
  if (!Operations() || !current || !newPassword) return 0;
  return Operations()->ChangePassword(current, newPassword, followParent);
}

int __cdecl GetPolicy(DEVICE_POLICY* policy) {
  // The stub's buffer goes back whole: never send what the heap held before.
  std::memset(policy, 0, sizeof *policy);
  return Operations() ? Operations()->GetPolicy(*policy) : 0;
}

// Administrators and LocalSystem only.
int __cdecl SetPolicy(const DEVICE_POLICY* policy) { return Operations() ? Operations()->SetPolicy(*policy) : 0; }

int __cdecl Ping(void) { return Operations() ? Operations()->Ping() : 0; }

int __cdecl Reserved7(void) { return 0; }
int __cdecl Reserved8(void) { return 0; }
int __cdecl Reserved9(void) { return 0; }
int __cdecl Reserved10(void) { return 0; }
int __cdecl Reserved11(void) { return 0; }
int __cdecl Reserved12(void) { return 0; }
int __cdecl Reserved13(void) { return 0; }
int __cdecl Reserved14(void) { return 0; }
int __cdecl Reserved15(void) { return 0; }
int __cdecl Reserved16(void) { return 0; }
int __cdecl Reserved17(void) { return 0; }

int __cdecl PopDeviceArrival(USB_RULE* entry) {
  std::memset(entry, 0, sizeof *entry);
  return Operations() ? Operations()->PopDeviceArrival(*entry) : 0;
}

// The stub has refused any size above 65,536 before it allocated `name`.
int __cdecl GetLanguage(unsigned int size, unsigned char* name) {
  if (name) std::memset(name, 0, size);
  return Operations() && name ? Operations()->GetLanguage(size, name) : 0;
}
