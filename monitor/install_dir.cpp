#include "monitor/install_dir.h"

#include <algorithm>

namespace vx {

std::wstring ReadInstallDir(const Registry& registry) {
  std::wstring installDir = L".";
  if (auto value = registry.ReadValue(kProductKeyPath, L"InstallPath", kInstallPathMaxBytes)) {
    const std::u16string units = Utf16Units(value->data);
    const std::u16string_view text = TextBeforeZero(units);
    installDir.assign(text.begin(), text.end());
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
