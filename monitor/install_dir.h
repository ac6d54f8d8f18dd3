// installDir: the directory of every data file of the service, always ending
// in a backslash; ".\" unless the registry value "InstallPath" names another.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace vx {

inline constexpr std::size_t kInstallPathMaxBytes = 20000;

// Reads "InstallPath" (at most 20,000 bytes, any type) up to its first zero
// character and appends a backslash when it does not end in one.
[[nodiscard]] std::wstring ReadInstallDir(const Registry& registry);

// installDir followed by a file name, as a path of this platform (on other
// systems than Windows the backslashes are separators too).
[[nodiscard]] std::filesystem::path DataFilePath(std::wstring_view installDir, std::wstring_view fileName);

}  // namespace vx
