#include "server/store/windows_version.h"

namespace vx::server {

std::string WindowsVersionText(uint32_t value) {
  std::string text = std::to_string(value & 0xFF) + "." + std::to_string((value >> 8) & 0xFF);
  if ((value & 0x80000000u) == 0) text += " build " + std::to_string(value >> 16);
  return text;
}

}  // namespace vx::server
