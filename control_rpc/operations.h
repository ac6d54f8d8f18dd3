// The routines of the control interface as portable code: each is a call
// into the policy owner or the device queue plus the interface's result
// codes. The Windows server routines only forward to these.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/filter_control.h"
#include "monitor/device_queue.h"
#include "platform/registry.h"
#include "policy/device_policy.h"
#include "policy/policy_store.h"

namespace vx {

// Smallest GetLanguage buffer: anything shorter is refused unwritten.
inline constexpr uint32_t kLanguageBufferMinSize = 10;

class ControlOperations {
 public:
  ControlOperations(PolicyStore& policy, DeviceQueue& newDeviceQueue, const Registry& registry)
      : policy_(policy), newDeviceQueue_(newDeviceQueue), registry_(registry) {}

  int SetDriveLocks(uint32_t mask);
  int GetDriveLocks();
  int CheckPassword(std::string_view candidate);
  // 0 for a wrong current password, a password locked by the parent, or a
  // new password of more than 127 characters; nothing changes then.
  int ChangePassword(std::string_view current, std::string_view newPassword, uint32_t followParent);
  int GetPolicy(DEVICE_POLICY& policy);
  // 0 for a count below 0 or above 124; nothing changes then.
  int SetPolicy(const DEVICE_POLICY& policy);
  int Ping();
  // Operations 7 to 17: 0, no effect.
  int Reserved();
  // 1 with the oldest newly seen disk in `entry`; 0 with `entry` untouched
  // when there is none.
  int PopDeviceArrival(USB_RULE& entry);
  // Writes "english" or "turkish" and its zero at the start of `name`. 0 with
  // nothing written when `size` is below 10 or the setting names no language.
  int GetLanguage(uint32_t size, uint8_t* name);

 private:
  PolicyStore& policy_;
  DeviceQueue& newDeviceQueue_;
  const Registry& registry_;
};

}  // namespace vx
