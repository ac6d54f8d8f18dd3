#include "management/update_delivery.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace vx::management {

std::wstring UpdateTargetPath(const std::wstring& installDir) { return installDir + kUpdateFileName; }

std::wstring UpdateCommandLine(const std::wstring& installDir) { return L"\"" + UpdateTargetPath(installDir) + L"\""; }

Outcome ReceiveUpdate(const Connection& connection, MessageHeader header, const std::wstring& installDir,
                      UpdateInstaller& installer) {
  std::unique_ptr<UpdateFile> file = installer.CreateTarget(UpdateTargetPath(installDir));
  bool written = file != nullptr;
  std::vector<uint8_t> chunk(kUpdateChunkSize);
  uint32_t remaining = header.length;
  while (remaining != 0) {
    const int size = static_cast<int>(std::min<uint32_t>(remaining, kUpdateChunkSize));
    if (ReceiveExact(connection, chunk.data(), size, kRetryBudget) != size) {
      if (file) (void)file->Close();  // a partial file is never started; its close result changes nothing
      return Outcome::EndConnection;
    }
    if (file && !file->Write(chunk.data(), static_cast<std::size_t>(size))) written = false;
    remaining -= static_cast<uint32_t>(size);
  }
  if (!file) return Outcome::KeepConnection;
  if (!file->Close()) written = false;
  // An installer that is not on the disk in full is not started.
  if (written) (void)installer.StartProcess(UpdateCommandLine(installDir), installDir);  // nothing tracks it
  return Outcome::KeepConnection;
}

}  // namespace vx::management
