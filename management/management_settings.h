// Whether and where the management client runs: three registry values
// under the service's key, HKLM Software\Vestara\DeviceControl.
//   ServerMode  REG_DWORD   1 = a server is configured; missing means 0
//   ServerHost  REG_SZ      the server's name, at most 63 single-byte characters
//   ClientId    REG_BINARY  16 bytes naming this installation to the server;
//                           created once from a random source and kept
// The service reads them once, at its start; the client never changes them.
// vxctl reads them without creating anything and changes the first two.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace vx {

inline constexpr std::size_t kMaxServerHostLength = 63;

struct ManagementSettings {
  uint32_t serverMode = 0;  // 1: a management server is configured and the client runs
  std::string serverHost;   // single-byte text, at most 63 characters
  std::array<uint8_t, 16> clientId{};
};

// The settings as they are stored, for a reader that must not create the
// client id: nullopt where none (or a malformed one) is stored.
struct StoredManagementSettings {
  uint32_t serverMode = 0;
  std::string serverHost;
  std::optional<std::array<uint8_t, 16>> clientId;
};

// Reads the settings as stored. A mode that is not a DWORD, a host that is
// not text, longer than 63 characters or not single-byte, and a client id
// that is not 16 bytes of REG_BINARY read as missing.
[[nodiscard]] StoredManagementSettings ReadStoredManagementSettings(const Registry& registry);

// The service's reading at start: as stored, and a new ClientId from
// `randomClientId`, written back, when none is stored.
[[nodiscard]] ManagementSettings ReadManagementSettings(Registry& registry,
                                                        const std::function<std::array<uint8_t, 16>()>& randomClientId);

// Why `host` cannot name the management server (empty text when it can): it
// must be 1 to 63 characters of letters, digits, '.', '-' and '_', which is
// what a host name or an IPv4 address is made of.
[[nodiscard]] std::string ServerHostProblem(std::string_view host);

// Points the service at `host` (ServerHost, then ServerMode 1) or turns the
// management client off (ServerMode 0; the host stays for a later "on").
// The running service applies either at its next start. False when the
// registry refused a write (writing HKLM needs administrator rights).
[[nodiscard]] bool WriteServerHost(Registry& registry, std::string_view host);
[[nodiscard]] bool WriteServerOff(Registry& registry);

}  // namespace vx
