#include "management/windows/win_update_installer.h"

#include <windows.h>

#include <cstdio>

#include "management/stdio_update_file.h"

namespace vx::management {

std::unique_ptr<UpdateFile> WinUpdateInstaller::CreateTarget(const std::wstring& path) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (!file) return nullptr;
  return std::make_unique<StdioUpdateFile>(file);
}

bool WinUpdateInstaller::StartProcess(const std::wstring& commandLine, const std::wstring& currentDirectory) {
  // CreateProcessW may write into the command line it is given.
  std::wstring line = commandLine;
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof process);
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, currentDirectory.c_str(), &startup,
                      &process))
    return false;
  // The installer runs on its own; nothing waits for it.
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace vx::management
