// A stand-in for the pushed installer "VXUP.exe", for the Wine tests: it
// writes "vxup_marker.txt" beside itself with the command line it was given
// and the directory it was started in (UTF-8, one per line), then exits 0.
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
  return bytes;
}

}  // namespace

int wmain() {
  wchar_t module[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return 1;
  std::wstring marker(module, length);
  marker = marker.substr(0, marker.find_last_of(L'\\') + 1) + L"vxup_marker.txt";

  wchar_t directory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, directory);
  const std::string text =
      "command line: " + Utf8(GetCommandLineW()) + "\r\nworking directory: " + Utf8(directory) + "\r\n";

  const HANDLE file =
      CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
  CloseHandle(file);
  return ok ? 0 : 3;
}
