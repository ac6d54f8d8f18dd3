#include "tests/driver/kernel_service.h"

namespace vx::test {

namespace {

void StopAndDelete(SC_HANDLE manager, const std::wstring& name) {
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
  if (!service) return;
  SERVICE_STATUS status;
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  for (int i = 0; i < 50 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i) {
    Sleep(100);
  }
  DeleteService(service);
  CloseServiceHandle(service);
}

}  // namespace

KernelService::KernelService(const std::wstring& name, const std::wstring& driverPath, const std::wstring& group)
    : name_(name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    lastError_ = GetLastError();
    return;
  }
  // A service left behind by an interrupted run is replaced.
  StopAndDelete(manager, name_);
  SC_HANDLE service = CreateServiceW(manager, name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, driverPath.c_str(),
                                     group.empty() ? nullptr : group.c_str(), nullptr, nullptr, nullptr, nullptr);
  if (!service) {
    lastError_ = GetLastError();
    CloseServiceHandle(manager);
    return;
  }
  Sleep(300);
  for (int attempt = 0; attempt < 20 && !running_; ++attempt) {
    if (StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
      running_ = true;
    } else {
      lastError_ = GetLastError();
      Sleep(250);
    }
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

KernelService::~KernelService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return;
  StopAndDelete(manager, name_);
  CloseServiceHandle(manager);
}

}  // namespace vx::test
