// A stand-in for the service program in the Wine tests: the real monitor
// (policy loaded from the current directory, the one-second pass with the
// USB storage inventory) starts the real control interface listener, as the
// service does. Ends by itself after a lifetime, so a failed test leaves
// nothing running.
//
//   control_rpc_test_server.exe [LIFETIME_SECONDS]
#include <windows.h>

#include <cstdlib>
#include <thread>

#include "control_rpc/windows/control_rpc_listener.h"
#include "monitor/monitor_loop.h"
#include "monitor/windows/setupdi_usb_storage.h"
#include "monitor/windows/win_clock.h"
#include "monitor/windows/win_device_channel.h"
#include "platform/windows/win_registry.h"

namespace {

// The machine's registry, except that "InstallPath" reads as missing: the
// install directory is always the current one, whatever another test in the
// same prefix sets meanwhile.
class RegistryInCurrentDirectory final : public vx::Registry {
 public:
  std::optional<vx::RegistryValue> ReadValue(std::wstring_view keyPath, std::wstring_view valueName,
                                             std::size_t maxBytes) const override {
    if (valueName == L"InstallPath") return std::nullopt;
    return registry_.ReadValue(keyPath, valueName, maxBytes);
  }
  bool WriteValue(std::wstring_view keyPath, std::wstring_view valueName, const vx::RegistryValue& value) override {
    return registry_.WriteValue(keyPath, valueName, value);
  }

 private:
  vx::WinRegistry registry_;
};

}  // namespace

int main(int argc, char** argv) {
  const int lifetimeSeconds = argc > 1 ? std::atoi(argv[1]) : 120;
  std::thread([lifetimeSeconds] {
    Sleep(static_cast<DWORD>(lifetimeSeconds) * 1000);
    ExitProcess(0);
  }).detach();

  RegistryInCurrentDirectory registry;
  vx::WinDeviceChannel channel;  // no driver here: each pass skips both driver steps
  vx::SetupDiUsbStorageSource usb;
  vx::WinClock clock;
  vx::MonitorShared shared;
  shared.serviceRunning = true;
  vx::MonitorEnvironment environment{
      .registry = registry,
      .devices = channel,
      .usbStorage = usb,
      .clock = clock,
      .debugOutput = [](const char*) {},
      .startControlRpcListener = [&registry](vx::MonitorShared& s) { vx::StartControlRpcListener(s, registry); },
  };
  return vx::MonitorThread(environment, shared);
}
