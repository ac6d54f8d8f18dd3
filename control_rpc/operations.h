// The routines of the control interface as portable code: each is a call
// into the policy owner or the device queue plus the interface's result
// codes. The Windows server routines only forward to these.
//
// Who may call: SetDriveLocks, SetPolicy and ChangePassword change the policy
// and serve only callers that `caller` says are Administrators or
// LocalSystem; anyone else gets 0 and nothing changes (not the record, not
// the policy file, not the generation). Every other routine reads or takes
// what any local caller may see.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/filter_control.h"
#include "control_rpc/caller_identity.h"
#include "monitor/device_queue.h"
#include "platform/registry.h"
#include "policy/device_policy.h"
#include "policy/policy_store.h"

namespace vx {

// Smallest GetLanguage buffer: anything shorter is refused unwritten.
inline constexpr uint32_t kLanguageBufferMinSize = 10;
// Largest GetLanguage buffer. The interface description bounds the size
// parameter with the same number, so the RPC run time refuses a larger one
// before it allocates the buffer; the routine checks it all the same.
inline constexpr uint32_t kLanguageBufferMaxSize = 65536;

class ControlOperations {
 public:
  ControlOperations(PolicyStore& policy, DeviceQueue& newDeviceQueue, const Registry& registry,
                    const CallerIdentity& caller)
      : policy_(policy), newDeviceQueue_(newDeviceQueue), registry_(registry), caller_(caller) {}

  // Administrators and LocalSystem only. 1 when served, 0 when refused.
  [[nodiscard]] int SetDriveLocks(uint32_t mask);
  [[nodiscard]] int GetDriveLocks();
  [[nodiscard]] int CheckPassword(std::string_view candidate);
  // Administrators and LocalSystem only. 0 for a caller who may not change
  // the policy, a wrong current password, a password locked by the parent,
  // or a new password of more than 127 characters; nothing changes then.
  [[nodiscard]] int ChangePassword(std::string_view current, std::string_view newPassword, uint32_t followParent);
  [[nodiscard]] int GetPolicy(DEVICE_POLICY& policy);
  // Administrators and LocalSystem only. 0 for a caller who may not change
  // the policy or a count below 0 or above 124; nothing changes then.
  [[nodiscard]] int SetPolicy(const DEVICE_POLICY& policy);
  [[nodiscard]] int Ping();
  // Operations 7 to 17: 0, no effect.
  [[nodiscard]] int Reserved();
  // 1 with the oldest newly seen disk in `entry`; 0 with `entry` untouched
  // when there is none.
  [[nodiscard]] int PopDeviceArrival(USB_RULE& entry);
  // Writes "english" or "turkish" and its zero at the start of `name`. 0 with
  // nothing written when `size` is below 10 or above 65,536, or the setting
  // names no language.
  [[nodiscard]] int GetLanguage(uint32_t size, uint8_t* name);

 private:
  PolicyStore& policy_;
  DeviceQueue& newDeviceQueue_;
  const Registry& registry_;
  const CallerIdentity& caller_;
};

}  // namespace vx
