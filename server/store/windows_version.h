// The Windows version an agent reports: GetVersion's value, whose low byte is
// the major version, the next byte the minor version and, when the top bit is
// clear, the high 16 bits the build number.
#pragma once

#include <cstdint>
#include <string>

namespace vx::server {

// "6.1 build 7601"; "5.1" when the top bit is set (no build number).
[[nodiscard]] std::string WindowsVersionText(uint32_t getVersionValue);

}  // namespace vx::server
