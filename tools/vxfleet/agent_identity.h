// Who a simulated agent is: its 16-byte ClientId, built so a test can tell
// every agent's id from its index alone, and the names it shows the server.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "management/protocol/message_catalogue.h"

namespace vx::fleet {

using ClientId = std::array<uint8_t, management::kClientIdSize>;

// "vfleet" and two zero bytes: the default first half of every id.
inline constexpr uint64_t kDefaultIdPrefix = 0x7666'6c65'6574'0000;

// Bytes 0..7 are `prefix` and bytes 8..15 `index`, both big-endian, so the
// server's 32-digit id reads as the two numbers in hex one after the other.
[[nodiscard]] ClientId MakeClientId(uint64_t prefix, uint64_t index);

// 32 lowercase hex digits, as the server prints an agent id.
[[nodiscard]] std::string ClientIdHex(const ClientId& id);

// "FLEET-00042": the computer name in the agent's status.
[[nodiscard]] std::string ComputerName(uint64_t index);

}  // namespace vx::fleet
