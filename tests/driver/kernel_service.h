// Loads a kernel driver as a kernel service under the service control
// manager for one test program, and removes it again afterwards.
#pragma once

#include <windows.h>

#include <string>

namespace vx::test {

class KernelService {
 public:
  // Creates (or reuses) the service `name` for the driver file `driverPath`
  // and starts it, retrying while a fresh prefix settles.
  // A non-empty `group` puts drivers of one group into one host process.
  KernelService(const std::wstring& name, const std::wstring& driverPath, const std::wstring& group = L"");
  // Stops and deletes the service so later tests find the prefix clean.
  ~KernelService();
  KernelService(const KernelService&) = delete;
  KernelService& operator=(const KernelService&) = delete;

  bool Running() const { return running_; }
  DWORD LastError() const { return lastError_; }

 private:
  std::wstring name_;
  bool running_ = false;
  DWORD lastError_ = 0;
};

}  // namespace vx::test
