#include "service/windows/win_install_platform.h"

#include <windows.h>

#include <vector>

namespace vx {
namespace {

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

class WinServiceHandle final : public ServiceHandle {
 public:
  explicit WinServiceHandle(SC_HANDLE service) : service_(service) {}
  // A handle that fails to close is closed with the process.
  ~WinServiceHandle() override { (void)CloseServiceHandle(service_); }

  bool SetFailureActions(const ServiceFailureActions& failure) override {
    std::vector<SC_ACTION> actions;
    for (const auto& a : failure.actions) actions.push_back({static_cast<SC_ACTION_TYPE>(a.type), a.delayMs});
    SERVICE_FAILURE_ACTIONSW config{};
    config.dwResetPeriod = failure.resetPeriodSeconds;
    config.lpRebootMsg = nullptr;
    config.lpCommand = nullptr;
    config.cActions = static_cast<DWORD>(actions.size());
    config.lpsaActions = actions.data();
    return ChangeServiceConfig2W(service_, SERVICE_CONFIG_FAILURE_ACTIONS, &config) != FALSE;
  }

  bool SetDescription(const std::u16string& description) override {
    std::u16string text = description;
    SERVICE_DESCRIPTIONW config{reinterpret_cast<wchar_t*>(text.data())};
    return ChangeServiceConfig2W(service_, SERVICE_CONFIG_DESCRIPTION, &config) != FALSE;
  }

  std::optional<uint32_t> QueryState() override {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service_, &status)) return std::nullopt;
    return status.dwCurrentState;
  }

  bool SendStop() override {
    SERVICE_STATUS status{};
    return ControlService(service_, SERVICE_CONTROL_STOP, &status) != FALSE;
  }

  bool Delete() override { return DeleteService(service_) != FALSE; }

 private:
  SC_HANDLE service_;
};

class WinServiceManager final : public ServiceManager {
 public:
  explicit WinServiceManager(SC_HANDLE manager) : manager_(manager) {}
  ~WinServiceManager() override { (void)CloseServiceHandle(manager_); }

  std::unique_ptr<ServiceHandle> Create(const ServiceRegistration& r) override {
    SC_HANDLE service = CreateServiceW(manager_, Wide(r.name), Wide(r.displayName), SERVICE_ALL_ACCESS, r.type,
                                       r.startType, r.errorControl, Wide(r.executablePath), Wide(r.loadOrderGroup),
                                       nullptr, Wide(r.dependencies), nullptr, nullptr);
    if (!service) return nullptr;
    return std::make_unique<WinServiceHandle>(service);
  }

  std::unique_ptr<ServiceHandle> Open(const std::u16string& name) override {
    SC_HANDLE service = OpenServiceW(manager_, Wide(name), SERVICE_ALL_ACCESS);
    if (!service) return nullptr;
    return std::make_unique<WinServiceHandle>(service);
  }

 private:
  SC_HANDLE manager_;
};

}  // namespace

std::unique_ptr<ServiceManager> WinInstallPlatform::OpenServiceManager() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return nullptr;
  return std::make_unique<WinServiceManager>(manager);
}

std::optional<std::u16string> WinInstallPlatform::ExecutablePath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(path), length);
}

void WinInstallPlatform::SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace vx
