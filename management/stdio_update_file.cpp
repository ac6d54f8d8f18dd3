#include "management/stdio_update_file.h"

namespace vx::management {

StdioUpdateFile::~StdioUpdateFile() {
  if (file_) (void)Close();  // a file given up part-way; nothing is started from it
}

bool StdioUpdateFile::Write(const uint8_t* bytes, std::size_t count) {
  return file_ && (count == 0 || std::fwrite(bytes, 1, count, file_) == count);
}

bool StdioUpdateFile::Close() {
  std::FILE* file = file_;
  file_ = nullptr;
  return file && std::fclose(file) == 0;
}

}  // namespace vx::management
