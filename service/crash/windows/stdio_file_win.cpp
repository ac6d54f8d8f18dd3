#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "service/crash/stdio_file.h"

namespace VXSecureBundle {

std::FILE* OpenStdioFile(const std::filesystem::path& path, const char* mode) {
  wchar_t wideMode[8] = {};
  for (std::size_t i = 0; i + 1 < sizeof wideMode / sizeof wideMode[0] && mode[i] != '\0'; ++i)
    wideMode[i] = static_cast<wchar_t>(mode[i]);
  return _wfopen(path.c_str(), wideMode);
}

// mingw's 64-bit stdio positions work with every msvcrt, old ones included.
int64_t StdioFilePosition(std::FILE* file) { return static_cast<int64_t>(ftello64(file)); }

int64_t StdioFileSize(std::FILE* file) {
  if (fseeko64(file, 0, SEEK_END) != 0) return -1;
  int64_t size = StdioFilePosition(file);
  if (fseeko64(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

bool TruncateStdioFile(std::FILE* file, int64_t size) {
  if (std::fflush(file) != 0) return false;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER position;
  position.QuadPart = size;
  if (!SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) return false;
  return fseeko64(file, size, SEEK_SET) == 0;
}

}  // namespace VXSecureBundle
