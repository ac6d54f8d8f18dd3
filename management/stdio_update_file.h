// An UpdateFile over a C library stream; each platform opens the stream its
// own way (_wfopen on Windows, fopen elsewhere).
#pragma once

#include <cstdio>
#include <memory>

#include "management/update_installer.h"

namespace vx::management {

class StdioUpdateFile final : public UpdateFile {
 public:
  explicit StdioUpdateFile(std::FILE* file) : file_(file) {}
  StdioUpdateFile(const StdioUpdateFile&) = delete;
  StdioUpdateFile& operator=(const StdioUpdateFile&) = delete;
  ~StdioUpdateFile() override;
  bool Write(const uint8_t* bytes, std::size_t count) override;
  bool Close() override;  // fclose, which also flushes what is buffered

 private:
  std::FILE* file_;
};

}  // namespace vx::management
