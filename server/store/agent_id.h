// An agent's identity: the 16-byte ClientId its hello carries, written as 32
// lowercase hexadecimal digits wherever a person sees it (log lines, command
// output, command arguments).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vx::server {

using AgentId = std::array<uint8_t, 16>;

// 32 lowercase hexadecimal digits, byte 0 first.
[[nodiscard]] std::string AgentIdHex(const AgentId& id);

// The inverse of AgentIdHex; digits in either letter case. nullopt unless the
// text is exactly 32 hexadecimal digits.
[[nodiscard]] std::optional<AgentId> ParseAgentId(std::string_view text);

}  // namespace vx::server
