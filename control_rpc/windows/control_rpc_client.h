// A client of the control interface on this machine, over the named pipe.
// Every call returns the run time's status: 0 when the call reached the
// service and ran, else the code of the RPC failure (1722 when the service
// does not listen). A failed call leaves its results untouched.
// The interface's binding is implicit, one per process: keep one client at a
// time. Its calls may come from many threads at once.
#pragma once

#include <cstdint>
#include <string>

#include "common/filter_control.h"
#include "policy/device_policy.h"

namespace vx {

inline constexpr unsigned long kRpcServerUnavailable = 1722;

class ControlRpcClient {
 public:
  // Binds to the local endpoint; a failure shows in every call's status.
  ControlRpcClient();
  ~ControlRpcClient();
  ControlRpcClient(const ControlRpcClient&) = delete;
  ControlRpcClient& operator=(const ControlRpcClient&) = delete;

  [[nodiscard]] unsigned long SetDriveLocks(uint32_t mask, int& result);
  [[nodiscard]] unsigned long GetDriveLocks(int& result);
  [[nodiscard]] unsigned long CheckPassword(const std::string& candidate, int& result);
  [[nodiscard]] unsigned long ChangePassword(const std::string& current, const std::string& newPassword,
                                             uint32_t followParent, int& result);
  [[nodiscard]] unsigned long GetPolicy(DEVICE_POLICY& policy, int& result);
  [[nodiscard]] unsigned long SetPolicy(const DEVICE_POLICY& policy, int& result);
  [[nodiscard]] unsigned long Ping(int& result);
  // Operation `number` of the reserved places 7 to 17.
  [[nodiscard]] unsigned long Reserved(int number, int& result);
  [[nodiscard]] unsigned long PopDeviceArrival(USB_RULE& entry, int& result);
  [[nodiscard]] unsigned long GetLanguage(uint32_t size, uint8_t* name, int& result);

 private:
  unsigned long bindStatus_ = 0;
};

}  // namespace vx
