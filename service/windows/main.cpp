// VestaraDeviceControl.exe: the Windows service, its console run ("/r") and
// its own installer ("/i") and remover ("/u").
#include <windows.h>
// RtlGenRandom needs the base Windows types first.
#include <ntsecapi.h>

#include <array>
#include <ctime>

#include "control_rpc/windows/control_rpc_listener.h"
#include "management/connection_record.h"
#include "management/connection_state.h"
#include "management/management_settings.h"
#include "management/windows/start_management_client.h"
#include "monitor/monitor_loop.h"
#include "monitor/windows/setupdi_usb_storage.h"
#include "monitor/windows/win_clock.h"
#include "monitor/windows/win_device_channel.h"
#include "platform/windows/win_registry.h"
#include "service/command_line.h"
#include "service/crash/windows/crash_reporter.h"
#include "service/service_config.h"
#include "service/service_control.h"
#include "service/service_installer.h"
#include "service/windows/win_install_platform.h"
#include "service/windows/win_service_platform.h"

namespace {

// Process-wide: created at start and never destroyed. The control
// interface's call threads, the monitor (and whatever it starts) use them up
// to the moment the process ends, so no destructor may run at exit: each is
// made once with new and never deleted.
vx::MonitorShared& shared = *new vx::MonitorShared;
vx::WinRegistry& registry = *new vx::WinRegistry;
vx::ServiceControl* serviceControl = nullptr;
// The management connection as the client last reported it (connected or
// not, the server's address, since when). Each change is published in the
// registry for the administration tool (management/connection_record.h).
vx::management::ConnectionState& managementConnection = *new vx::management::ConnectionState;

std::array<uint8_t, 16> RandomClientId() {
  std::array<uint8_t, 16> id{};
  if (!RtlGenRandom(id.data(), static_cast<ULONG>(id.size()))) {
    // Without the system's generator, time and identity still tell machines apart.
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const uint64_t mix[2] = {static_cast<uint64_t>(counter.QuadPart),
                             (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ GetTickCount()};
    memcpy(id.data(), mix, sizeof mix);
  }
  return id;
}

// Only vxctl server show reads the record; the client works without it.
void PublishManagementConnection() {
  (void)vx::management::PublishConnection(registry, managementConnection.Snapshot());
}

// The start points of what the monitor starts on threads of its own.
void AddStartPoints(vx::MonitorEnvironment& environment, const vx::ManagementSettings& settings) {
  environment.startControlRpcListener = [](vx::MonitorShared& s) { vx::StartControlRpcListener(s, registry); };
  // The client's thread is never joined: it ends at its next look at
  // serviceRunning, or with the process.
  environment.startManagementClient = [settings](vx::MonitorShared& s) {
    vx::management::StartManagementClient(s, settings, [](const vx::management::ConnectionEvent& event) {
      managementConnection.Record(event, static_cast<int64_t>(std::time(nullptr)));
      PublishManagementConnection();
    });
  };
}

// What the monitor started for other processes, ended once the monitor
// thread has ended and before the service reports itself stopped (the stop:
// see service/service_control.cpp).
void StopServing() {
  // A listener that does not end within its bound keeps serving until the
  // process ends; everything its calls use outlives the process's end.
  (void)vx::StopControlRpcListener();
}

int RunMonitor() {
  vx::WinDeviceChannel devices;
  vx::SetupDiUsbStorageSource usbStorage;
  vx::WinClock clock;
  const vx::ManagementSettings settings = vx::ReadManagementSettings(registry, RandomClientId);
  vx::MonitorEnvironment environment{
      .registry = registry,
      .devices = devices,
      .usbStorage = usbStorage,
      .clock = clock,
      .debugOutput = vx::WriteDebugOutput,
      .serverMode = settings.serverMode,
  };
  // A record left by an earlier run never shows as this run's connection.
  vx::management::ConnectionSnapshot none;
  none.changedAt = static_cast<int64_t>(std::time(nullptr));
  (void)vx::management::PublishConnection(registry, none);  // as PublishManagementConnection
  AddStartPoints(environment, settings);
  return vx::MonitorThread(std::move(environment), shared);
}

void WINAPI ServiceCtrlHandler(DWORD control) { serviceControl->ServiceCtrlHandler(control); }

void WINAPI ServiceMain(DWORD, LPWSTR*) { serviceControl->ServiceMain(); }

int RunServiceDispatcher() {
  // Never destroyed either: the control handler may run until the process ends.
  auto& platform = *new vx::WinServicePlatform(ServiceCtrlHandler);
  serviceControl = new vx::ServiceControl(
      platform, shared.serviceRunning, [] { RunMonitor(); }, StopServing);
  SERVICE_TABLE_ENTRYW table[] = {
      {const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(vx::kServiceName)), ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : -1;
}

bool DebuggerPresent() {
  BOOL remote = FALSE;
  return IsDebuggerPresent() || (CheckRemoteDebuggerPresent(GetCurrentProcess(), &remote) && remote);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandTail, int) {
  if (DebuggerPresent()) ExitProcess(static_cast<UINT>(-1));
  vx::crash::InstallCrashHandler("VXDC", 1, 5, 0, 1155);
  switch (vx::ParseCommandTail(commandTail ? commandTail : L"")) {
    case vx::Command::ConsoleRun:
      shared.serviceRunning = true;
      return RunMonitor();
    case vx::Command::Install: {
      vx::WinInstallPlatform platform;
      return vx::InstallService(registry, platform);
    }
    case vx::Command::Remove: {
      vx::WinInstallPlatform platform;
      return vx::RemoveService(registry, platform);
    }
    case vx::Command::Dispatcher:
      break;
  }
  return RunServiceDispatcher();
}
