// The control interface as vxctl sees it: the nine operations, each
// returning the transport's status (0 when the call reached the service and
// ran) with the operation's own result in `result`. The Windows build calls
// the service over RPC; tests call the portable operations directly.
#pragma once

#include <cstdint>
#include <string>

#include "common/filter_control.h"
#include "policy/device_policy.h"

namespace vx {

class ControlService {
 public:
  virtual ~ControlService() = default;
  [[nodiscard]] virtual unsigned long SetDriveLocks(uint32_t mask, int& result) = 0;
  [[nodiscard]] virtual unsigned long GetDriveLocks(int& result) = 0;
  [[nodiscard]] virtual unsigned long CheckPassword(const std::string& candidate, int& result) = 0;
  [[nodiscard]] virtual unsigned long ChangePassword(const std::string& current, const std::string& newPassword,
                                                     uint32_t followParent, int& result) = 0;
  [[nodiscard]] virtual unsigned long GetPolicy(DEVICE_POLICY& policy, int& result) = 0;
  [[nodiscard]] virtual unsigned long SetPolicy(const DEVICE_POLICY& policy, int& result) = 0;
  [[nodiscard]] virtual unsigned long Ping(int& result) = 0;
  [[nodiscard]] virtual unsigned long PopDeviceArrival(USB_RULE& entry, int& result) = 0;
  [[nodiscard]] virtual unsigned long GetLanguage(uint32_t size, uint8_t* name, int& result) = 0;
};

}  // namespace vx
