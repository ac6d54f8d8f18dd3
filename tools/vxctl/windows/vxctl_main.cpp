// vxctl.exe: the command line over the service's control interface.
#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "control_rpc/windows/control_rpc_client.h"
#include "control_rpc/windows/token_rights.h"
#include "platform/windows/win_registry.h"
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

bool StandardInputIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
}

// A password typed at the console: asked for on standard error, not echoed.
// nullopt when the console's input ends first (Ctrl+Z, a closed console).
std::optional<std::string> ReadSecretFromConsole(const char* question) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool haveMode = GetConsoleMode(input, &mode) != FALSE;
  std::cerr << question << std::flush;
  // Typing shows on the screen when echo cannot be turned off; the password
  // is still read.
  if (haveMode) (void)SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  std::string text;
  const bool read = static_cast<bool>(std::getline(std::cin, text));
  if (haveMode) (void)SetConsoleMode(input, mode);  // as it was; nothing else to do if refused
  std::cerr << "\n";
  if (!read) return std::nullopt;
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

// This process's own rights, from its token.
bool RunsAsAdministrator() { return TokenIsAdministrator(nullptr); }

}  // namespace
}  // namespace vx

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  vx::RpcControlService service;
  const vx::SecretReader console =
      vx::StandardInputIsConsole() ? vx::SecretReader(vx::ReadSecretFromConsole) : vx::SecretReader();
  vx::WinRegistry registry;
  return vx::RunVxctl(args, service, std::cin, std::cout, std::cerr, console, vx::RunsAsAdministrator, &registry);
}
