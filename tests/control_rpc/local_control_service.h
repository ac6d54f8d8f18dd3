// vxctl's view of the service, served in-process by the real operations:
// every call "reaches" the service unless the service is marked stopped.
// Counts the calls and the changing calls, so a test can tell that nothing
// was sent.
#pragma once

#include "control_rpc/operations.h"
#include "tools/vxctl/control_service.h"

namespace vx::test {

class LocalControlService final : public ControlService {
 public:
  explicit LocalControlService(ControlOperations& ops) : ops_(ops) {}

  bool stopped = false;  // every call then fails as with no server on the pipe
  int changes = 0;       // SetDriveLocks, ChangePassword and SetPolicy calls that ran
  int calls = 0;         // every call that ran
  // When nonzero, the call that would run as number `failFromCall` (from 1)
  // and every call after it fail as a call broken off on the way (RPC error
  // 1726), so a test can make the service fail part-way through a command.
  int failFromCall = 0;

  unsigned long SetDriveLocks(uint32_t mask, int& result) override {
    return Call([&] { ++changes, result = ops_.SetDriveLocks(mask); });
  }
  unsigned long GetDriveLocks(int& result) override {
    return Call([&] { result = ops_.GetDriveLocks(); });
  }
  unsigned long CheckPassword(const std::string& candidate, int& result) override {
    return Call([&] { result = ops_.CheckPassword(candidate); });
  }
  unsigned long ChangePassword(const std::string& current, const std::string& newPassword, uint32_t followParent,
                               int& result) override {
    return Call([&] { ++changes, result = ops_.ChangePassword(current, newPassword, followParent); });
  }
  unsigned long GetPolicy(DEVICE_POLICY& policy, int& result) override {
    return Call([&] { result = ops_.GetPolicy(policy); });
  }
  unsigned long SetPolicy(const DEVICE_POLICY& policy, int& result) override {
    return Call([&] { ++changes, result = ops_.SetPolicy(policy); });
  }
  unsigned long Ping(int& result) override {
    return Call([&] { result = ops_.Ping(); });
  }
  unsigned long PopDeviceArrival(USB_RULE& entry, int& result) override {
    return Call([&] { result = ops_.PopDeviceArrival(entry); });
  }
  unsigned long GetLanguage(uint32_t size, uint8_t* name, int& result) override {
    return Call([&] { result = ops_.GetLanguage(size, name); });
  }

 private:
  template <typename F>
  unsigned long Call(F&& f) {
    if (stopped) return 1722;
    if (failFromCall != 0 && calls + 1 >= failFromCall) return 1726;
    ++calls;
    f();
    return 0;
  }
  ControlOperations& ops_;
};

}  // namespace vx::test
