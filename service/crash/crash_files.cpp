#include "service/crash/crash_files.h"

#include <algorithm>
#include <cstdio>

namespace vx::crash {

std::wstring ModuleDirectoryOf(std::wstring_view modulePath) {
  std::size_t cut = modulePath.rfind(L'\\');
  if (cut == std::wstring_view::npos) return L".";
  return std::wstring(modulePath.substr(0, cut));
}

std::wstring CrashBaseName(std::wstring_view moduleDir, const char (&appCode)[4], int64_t time, int secondDraw,
                           int firstDraw) {
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, "%02x%02x%02x%02x-%d-%x-%x", static_cast<uint8_t>(appCode[0]),
                static_cast<uint8_t>(appCode[1]), static_cast<uint8_t>(appCode[2]), static_cast<uint8_t>(appCode[3]),
                static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(time))),
                static_cast<unsigned>(secondDraw), static_cast<unsigned>(firstDraw));
  std::wstring name(moduleDir);
  name += L'\\';
  for (const char* c = suffix; *c != '\0'; ++c) name += static_cast<wchar_t>(*c);
  return name;
}

std::filesystem::path CrashFilePath(std::wstring_view baseName, std::wstring_view extension) {
  std::wstring path(baseName);
  path.append(extension);
#ifndef _WIN32
  std::replace(path.begin(), path.end(), L'\\', L'/');
#endif
  return std::filesystem::path(path);
}

}  // namespace vx::crash
