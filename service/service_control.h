// The service's life under the service control manager: ServiceMain with
// its status reports, the control handler, and the start of the monitor
// thread. The platform calls sit behind ServicePlatform so that the exact
// report sequence is tested natively. What a stop waits for, reports, and may
// interrupt: see the stop's description in service_control.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace vx {

inline constexpr uint32_t kStateStopped = 1;
inline constexpr uint32_t kStateStartPending = 2;
inline constexpr uint32_t kStateStopPending = 3;
inline constexpr uint32_t kStateRunning = 4;
inline constexpr uint32_t kControlStop = 1;
inline constexpr uint32_t kControlShutdown = 5;
inline constexpr uint32_t kAcceptStopAndShutdown = 5;
inline constexpr uint32_t kStopWaitHintMs = 1000;
// How many one-second waits ServiceMain gives the monitor thread to end.
inline constexpr uint32_t kMonitorEndWaits = 30;

struct ServiceStatusReport {
  uint32_t state;
  uint32_t controlsAccepted;
  uint32_t checkPoint;
  uint32_t waitHintMs;
  bool operator==(const ServiceStatusReport&) const = default;
};

class ServicePlatform {
 public:
  virtual ~ServicePlatform() = default;
  // Registers the control handler under the service name.
  [[nodiscard]] virtual bool RegisterControlHandler() = 0;
  // Reports a status with type 0x110 and exit codes 0.
  [[nodiscard]] virtual bool ReportStatus(const ServiceStatusReport& report) = 0;
  [[nodiscard]] virtual bool CreateStopEvent() = 0;  // manual reset, not signalled, unnamed
  virtual void WaitStopEvent() = 0;
  virtual void SignalStopEvent() = 0;
  virtual void CloseStopEvent() = 0;
  // Starts `routine` on a new thread and keeps hold of it for WaitThreadEnd.
  [[nodiscard]] virtual bool StartThread(std::function<void()> routine) = 0;
  // Waits at most `timeoutMs` for the thread StartThread started; true once
  // it has ended (or when none was started).
  [[nodiscard]] virtual bool WaitThreadEnd(uint32_t timeoutMs) = 0;
  virtual void SleepMilliseconds(uint32_t milliseconds) = 0;
};

class ServiceControl {
 public:
  // `monitorThread` is the routine the monitor thread runs; `stopServing`
  // stops what the monitor started for other processes once the monitor
  // thread has ended (may be empty).
  ServiceControl(ServicePlatform& platform, std::atomic<bool>& serviceRunning, std::function<void()> monitorThread,
                 std::function<void()> stopServing = {});

  void ServiceMain();
  void ServiceCtrlHandler(uint32_t control);
  [[nodiscard]] bool StartMonitorThread();

  uint32_t ServiceState() const { return serviceState_.load(); }

 private:
  [[nodiscard]] bool Report(uint32_t state, uint32_t controls, uint32_t checkPoint, uint32_t waitHint);
  // The monitor's last pass, then the control interface; before the stopped report.
  void EndWork();

  ServicePlatform& platform_;
  std::atomic<bool>& serviceRunning_;
  std::function<void()> monitorThread_;
  std::function<void()> stopServing_;
  std::atomic<uint32_t> serviceState_{0};
};

}  // namespace vx
