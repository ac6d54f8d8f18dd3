// ServicePlatform over the Windows service control manager.
#pragma once

#include <windows.h>

#include "service/service_control.h"

namespace vx {

class WinServicePlatform final : public ServicePlatform {
 public:
  // `handler` receives every control code the manager sends.
  explicit WinServicePlatform(LPHANDLER_FUNCTION handler) : handler_(handler) {}

  bool RegisterControlHandler() override;
  bool ReportStatus(const ServiceStatusReport& report) override;
  bool CreateStopEvent() override;
  void WaitStopEvent() override;
  void SignalStopEvent() override;
  void CloseStopEvent() override;
  bool StartThread(std::function<void()> routine) override;
  bool WaitThreadEnd(uint32_t timeoutMs) override;
  void SleepMilliseconds(uint32_t milliseconds) override;

 private:
  LPHANDLER_FUNCTION handler_;
  SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
  HANDLE stopEvent_ = nullptr;
  HANDLE thread_ = nullptr;  // the thread StartThread started, until it has ended
};

}  // namespace vx
