// InstallPlatform over the service control manager of the local machine.
#pragma once

#include "service/service_manager.h"

namespace vx {

class WinInstallPlatform final : public InstallPlatform {
 public:
  std::unique_ptr<ServiceManager> OpenServiceManager() override;
  std::optional<std::u16string> ExecutablePath() override;
  void SleepMilliseconds(uint32_t milliseconds) override;
};

}  // namespace vx
