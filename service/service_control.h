// The service's life under the service control manager: ServiceMain with
// its status reports, the control handler, and the start of the monitor
// thread. The platform calls sit behind ServicePlatform so that the exact
// report sequence is tested natively.
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
  virtual bool RegisterControlHandler() = 0;
  // Reports a status with type 0x110 and exit codes 0.
  virtual bool ReportStatus(const ServiceStatusReport& report) = 0;
  virtual bool CreateStopEvent() = 0;  // manual reset, not signalled, unnamed
  virtual void WaitStopEvent() = 0;
  virtual void SignalStopEvent() = 0;
  virtual void CloseStopEvent() = 0;
  // Starts `routine` on a new thread that is never joined.
  virtual bool StartThread(std::function<void()> routine) = 0;
  virtual void SleepMilliseconds(uint32_t milliseconds) = 0;
};

class ServiceControl {
 public:
  // `monitorThread` is the routine the monitor thread runs.
  ServiceControl(ServicePlatform& platform, std::atomic<bool>& serviceRunning, std::function<void()> monitorThread);

  void ServiceMain();
  void ServiceCtrlHandler(uint32_t control);
  bool StartMonitorThread();

  uint32_t ServiceState() const { return serviceState_.load(); }

 private:
  bool Report(uint32_t state, uint32_t controls, uint32_t checkPoint, uint32_t waitHint);

  ServicePlatform& platform_;
  std::atomic<bool>& serviceRunning_;
  std::function<void()> monitorThread_;
  std::atomic<uint32_t> serviceState_{0};
};

}  // namespace vx
