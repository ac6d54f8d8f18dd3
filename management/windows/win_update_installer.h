// The pushed installer on Windows: the file through _wfopen ("wb"), fwrite
// and fclose, the process through CreateProcessW.
#pragma once

#include "management/update_installer.h"

namespace vx::management {

class WinUpdateInstaller final : public UpdateInstaller {
 public:
  std::unique_ptr<UpdateFile> CreateTarget(const std::wstring& path) override;
  bool StartProcess(const std::wstring& commandLine, const std::wstring& currentDirectory) override;
};

}  // namespace vx::management
