// Where the management server is: registry values under the service's key.
// ServerMode (REG_DWORD, 1 = a server is configured; missing means 0),
// ServerHost (REG_SZ, at most 63 characters) and ClientId (REG_BINARY, 16
// bytes; a missing or malformed one is created once from a random source and
// stored).
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "management/management_settings.h"
#include "platform/registry.h"

namespace vx {

// Reads the settings; writes a new ClientId when the stored one is missing
// or not 16 bytes of REG_BINARY. A host that is not text, longer than 63
// characters or not single-byte reads as no host.
ManagementSettings ReadManagementSettings(Registry& registry,
                                          const std::function<std::array<uint8_t, 16>()>& randomClientId);

}  // namespace vx
