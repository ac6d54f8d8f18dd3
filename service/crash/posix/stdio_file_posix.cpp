#include <sys/types.h>
#include <unistd.h>

#include "service/crash/stdio_file.h"

namespace VXSecureBundle {

std::FILE* OpenStdioFile(const std::filesystem::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }

int64_t StdioFilePosition(std::FILE* file) { return static_cast<int64_t>(ftello(file)); }

int64_t StdioFileSize(std::FILE* file) {
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  int64_t size = StdioFilePosition(file);
  if (fseeko(file, 0, SEEK_SET) != 0) return -1;
  return size;
}

bool TruncateStdioFile(std::FILE* file, int64_t size) {
  if (std::fflush(file) != 0) return false;
  if (ftruncate(fileno(file), static_cast<off_t>(size)) != 0) return false;
  return fseeko(file, static_cast<off_t>(size), SEEK_SET) == 0;
}

}  // namespace VXSecureBundle
