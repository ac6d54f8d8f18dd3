#include "management/posix/posix_update_file.h"

#include <cstdio>
#include <filesystem>

#include "management/stdio_update_file.h"

namespace vx::management {

std::unique_ptr<UpdateFile> CreatePosixUpdateFile(const std::wstring& path) {
  std::FILE* file = std::fopen(std::filesystem::path(path).string().c_str(), "wb");
  if (!file) return nullptr;
  return std::make_unique<StdioUpdateFile>(file);
}

}  // namespace vx::management
