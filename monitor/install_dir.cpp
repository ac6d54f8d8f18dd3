#include "monitor/install_dir.h"

#include <algorithm>

namespace vx {

std::wstring ReadInstallDir(const Registry& registry) {
  std::wstring installDir = L".";
  if (auto value = registry.ReadValue(kProductKeyPath, L"InstallPath", kInstallPathMaxBytes)) {
    installDir.clear();
    for (std::size_t i = 0; i + 1 < value->data.size(); i += 2) {
      const auto unit = static_cast<wchar_t>(value->data[i] | (value->data[i + 1] << 8));
      if (unit == 0) break;
      installDir.push_back(unit);
    }
  }
  if (installDir.empty() || installDir.back() != L'\\') installDir.push_back(L'\\');
  return installDir;
}

std::filesystem::path DataFilePath(std::wstring_view installDir, std::wstring_view fileName) {
  std::wstring path(installDir);
  path.append(fileName);
#ifndef _WIN32
  std::replace(path.begin(), path.end(), L'\\', L'/');
#endif
  return std::filesystem::path(path);
}

}  // namespace vx
