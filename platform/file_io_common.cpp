#include "platform/file_io.h"

namespace vx::platform {

std::filesystem::path ReplacementFileFor(const std::filesystem::path& path) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  return temporary;
}

}  // namespace vx::platform
