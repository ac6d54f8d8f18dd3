#include "server/network/listen_address.h"

#include <arpa/inet.h>

#include <charconv>

namespace vx::server {

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    error = "\"" + std::string(text) + "\" is not ADDR:PORT";
    return std::nullopt;
  }
  std::string address(text.substr(0, colon));
  const std::string_view portText = text.substr(colon + 1);
  if (address.empty() || address == "*") address = "0.0.0.0";
  in_addr parsed{};
  if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
    error = "\"" + address + "\" is not an IPv4 address";
    return std::nullopt;
  }
  unsigned port = 0;
  const auto [end, result] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (portText.empty() || result != std::errc() || end != portText.data() + portText.size() || port > 65535) {
    error = "\"" + std::string(portText) + "\" is not a port (0 to 65535)";
    return std::nullopt;
  }
  return ListenAddress{address, static_cast<uint16_t>(port)};
}

}  // namespace vx::server
