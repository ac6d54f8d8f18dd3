// vxctl.exe: the command line over the service's control interface.
#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "control_rpc/windows/control_rpc_client.h"
#include "tools/vxctl/vxctl.h"

namespace vx {
namespace {

class RpcControlService final : public ControlService {
 public:
  unsigned long SetDriveLocks(uint32_t mask, int& result) override { return client_.SetDriveLocks(mask, result); }
  unsigned long GetDriveLocks(int& result) override { return client_.GetDriveLocks(result); }
  unsigned long CheckPassword(const std::string& candidate, int& result) override {
    return client_.CheckPassword(candidate, result);
  }
  unsigned long ChangePassword(const std::string& current, const std::string& newPassword, uint32_t followParent,
                               int& result) override {
    return client_.ChangePassword(current, newPassword, followParent, result);
  }
  unsigned long GetPolicy(DEVICE_POLICY& policy, int& result) override { return client_.GetPolicy(policy, result); }
  unsigned long SetPolicy(const DEVICE_POLICY& policy, int& result) override {
    return client_.SetPolicy(policy, result);
  }
  unsigned long Ping(int& result) override { return client_.Ping(result); }
  unsigned long PopDeviceArrival(USB_RULE& entry, int& result) override {
    return client_.PopDeviceArrival(entry, result);
  }
  unsigned long GetLanguage(uint32_t size, uint8_t* name, int& result) override {
    return client_.GetLanguage(size, name, result);
  }

 private:
  ControlRpcClient client_;
};

// A password typed at the console: asked for on standard error, not echoed.
std::optional<std::string> ReadSecretFromConsole(const char* question) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(input, &mode)) return std::nullopt;
  std::cerr << question << std::flush;
  SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  std::string text;
  std::getline(std::cin, text);
  SetConsoleMode(input, mode);
  std::cerr << "\n";
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

}  // namespace
}  // namespace vx

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  vx::RpcControlService service;
  return vx::RunVxctl(args, service, std::cin, std::cout, std::cerr, vx::ReadSecretFromConsole);
}
