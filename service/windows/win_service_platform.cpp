#include "service/windows/win_service_platform.h"

#include <memory>

#include "service/service_config.h"

namespace vx {
namespace {

DWORD WINAPI RunRoutine(LPVOID parameter) {
  std::unique_ptr<std::function<void()>> routine(static_cast<std::function<void()>*>(parameter));
  (*routine)();
  return 0;
}

}  // namespace

bool WinServicePlatform::RegisterControlHandler() {
  statusHandle_ = RegisterServiceCtrlHandlerW(reinterpret_cast<const wchar_t*>(kServiceName), handler_);
  return statusHandle_ != nullptr;
}

bool WinServicePlatform::ReportStatus(const ServiceStatusReport& report) {
  SERVICE_STATUS status{};
  status.dwServiceType = kServiceType;
  status.dwCurrentState = report.state;
  status.dwControlsAccepted = report.controlsAccepted;
  status.dwWin32ExitCode = 0;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = report.checkPoint;
  status.dwWaitHint = report.waitHintMs;
  return SetServiceStatus(statusHandle_, &status) != FALSE;
}

bool WinServicePlatform::CreateStopEvent() {
  stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return stopEvent_ != nullptr;
}

void WinServicePlatform::WaitStopEvent() { WaitForSingleObject(stopEvent_, INFINITE); }

// Setting a valid event does not fail; there would be no one to tell.
void WinServicePlatform::SignalStopEvent() { (void)SetEvent(stopEvent_); }

void WinServicePlatform::CloseStopEvent() {
  (void)CloseHandle(stopEvent_);  // the handle is not used again either way
  stopEvent_ = nullptr;
}

bool WinServicePlatform::StartThread(std::function<void()> routine) {
  auto* parameter = new std::function<void()>(std::move(routine));
  HANDLE thread = CreateThread(nullptr, 0, RunRoutine, parameter, 0, nullptr);
  if (!thread) {
    delete parameter;
    return false;
  }
  if (thread_) (void)CloseHandle(thread_);  // an earlier thread, no longer waited for
  thread_ = thread;
  return true;
}

bool WinServicePlatform::WaitThreadEnd(uint32_t timeoutMs) {
  if (!thread_) return true;
  if (WaitForSingleObject(thread_, timeoutMs) != WAIT_OBJECT_0) return false;
  (void)CloseHandle(thread_);  // the thread has ended; only the handle goes
  thread_ = nullptr;
  return true;
}

void WinServicePlatform::SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace vx
