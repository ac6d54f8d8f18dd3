// The three values that say whether and where the management client runs.
// The service reads them from the registry (service/management_settings.h);
// the client only reads them and never changes them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vx {

inline constexpr std::size_t kMaxServerHostLength = 63;

struct ManagementSettings {
  uint32_t serverMode = 0;  // 1: a management server is configured and the client runs
  std::string serverHost;   // single-byte text, at most 63 characters
  std::array<uint8_t, 16> clientId{};
};

}  // namespace vx
