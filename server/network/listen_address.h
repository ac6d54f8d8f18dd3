// The address serve listens on: "ADDR:PORT" with an IPv4 address (agents
// connect over IPv4 only), "*" or an empty address for every interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vx::server {

struct ListenAddress {
  std::string address;  // dotted IPv4
  uint16_t port = 0;
};

// nullopt, with the reason in `error`, for anything else.
[[nodiscard]] std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error);

}  // namespace vx::server
