#include "management/windows/start_management_client.h"

#include <thread>

#include "management/session_loop.h"
#include "management/windows/win_session_clock.h"
#include "management/windows/win_socket_layer.h"
#include "management/windows/win_status_source.h"
#include "management/windows/win_update_installer.h"

namespace vx::management {
namespace {

// The Windows seams of the one client thread.
struct WinClientPlatform {
  WinSocketLayer sockets;
  WinSessionClock clock;
  WinStatusSource status;
  WinUpdateInstaller installer;
};

}  // namespace

void StartManagementClient(MonitorShared& shared, const ManagementSettings& settings,
                           std::function<void(const ConnectionEvent&)> onConnection) {
  // Kept for the process's life: nothing waits for the thread to end.
  auto* platform = new WinClientPlatform;
  auto* context = new ClientContext{
      settings,          shared.serviceRunning, shared.reportsStored, *shared.policy,      shared.installDir,
      platform->sockets, platform->clock,       platform->status,     platform->installer, std::move(onConnection)};
  std::thread([context] { (void)ManagementClientThread(*context); }).detach();  // its result has no reader
}

}  // namespace vx::management
