// The service control manager as install and removal use it, so that the
// exact registration is tested natively and run for real on Windows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "service/service_config.h"

namespace vx {

struct ServiceRegistration {
  std::u16string name;
  std::u16string displayName;
  uint32_t type = 0;
  uint32_t startType = 0;
  uint32_t errorControl = 0;
  std::u16string executablePath;
  std::u16string loadOrderGroup;
  std::u16string dependencies;  // each entry zero-terminated, then one more zero
};

class ServiceHandle {
 public:
  virtual ~ServiceHandle() = default;  // closes the handle
  [[nodiscard]] virtual bool SetFailureActions(const ServiceFailureActions& actions) = 0;
  [[nodiscard]] virtual bool SetDescription(const std::u16string& description) = 0;
  // The current state (1 stopped, 2 start pending, 3 stop pending, 4 running).
  [[nodiscard]] virtual std::optional<uint32_t> QueryState() = 0;
  [[nodiscard]] virtual bool SendStop() = 0;
  [[nodiscard]] virtual bool Delete() = 0;
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  [[nodiscard]] virtual std::unique_ptr<ServiceHandle> Create(const ServiceRegistration& registration) = 0;
  [[nodiscard]] virtual std::unique_ptr<ServiceHandle> Open(const std::u16string& name) = 0;
};

// What install and removal need of the platform besides the registry.
class InstallPlatform {
 public:
  virtual ~InstallPlatform() = default;
  // Opens the local service control manager with full access; null on failure.
  [[nodiscard]] virtual std::unique_ptr<ServiceManager> OpenServiceManager() = 0;
  // The running executable's full path; nullopt on failure.
  [[nodiscard]] virtual std::optional<std::u16string> ExecutablePath() = 0;
  virtual void SleepMilliseconds(uint32_t milliseconds) = 0;
};

}  // namespace vx
