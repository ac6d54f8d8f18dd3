#include "management/management_settings.h"

#include <algorithm>

namespace vx {
namespace {

RegistryValue DwordValue(uint32_t value) {
  return RegistryValue{kRegistryDword,
                       {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)}};
}

bool HostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

}  // namespace

StoredManagementSettings ReadStoredManagementSettings(const Registry& registry) {
  StoredManagementSettings settings;
  if (auto mode = registry.ReadValue(kProductKeyPath, L"ServerMode", 4);
      mode && mode->type == kRegistryDword && mode->data.size() == 4)
    settings.serverMode =
        mode->data[0] | (mode->data[1] << 8) | (mode->data[2] << 16) | (static_cast<uint32_t>(mode->data[3]) << 24);
  // 63 characters and a terminator as UTF-16.
  if (auto host = registry.ReadValue(kProductKeyPath, L"ServerHost", 2 * (kMaxServerHostLength + 1)))
    if (auto text = SingleByteText(*host); text && text->size() <= kMaxServerHostLength) settings.serverHost = *text;
  if (auto id = registry.ReadValue(kProductKeyPath, L"ClientId", 16);
      id && id->type == kRegistryBinary && id->data.size() == 16) {
    std::array<uint8_t, 16> stored{};
    std::copy(id->data.begin(), id->data.end(), stored.begin());
    settings.clientId = stored;
  }
  return settings;
}

ManagementSettings ReadManagementSettings(Registry& registry,
                                          const std::function<std::array<uint8_t, 16>()>& randomClientId) {
  const StoredManagementSettings stored = ReadStoredManagementSettings(registry);
  ManagementSettings settings{stored.serverMode, stored.serverHost, {}};
  if (stored.clientId) {
    settings.clientId = *stored.clientId;
  } else {
    settings.clientId = randomClientId();
    // Not stored, the id is new at every start and the server sees a new
    // machine each time; the client still works, so the start goes on.
    (void)registry.WriteValue(kProductKeyPath, L"ClientId",
                              RegistryValue{kRegistryBinary, {settings.clientId.begin(), settings.clientId.end()}});
  }
  return settings;
}

std::string ServerHostProblem(std::string_view host) {
  if (host.empty()) return "the server's name is empty";
  if (host.size() > kMaxServerHostLength)
    return "the server's name is " + std::to_string(host.size()) + " characters; it holds at most 63";
  for (char c : host)
    if (!HostCharacter(c))
      return "the server's name may hold letters, digits, '.', '-' and '_' only, not \"" + std::string(1, c) + "\"";
  return {};
}

bool WriteServerHost(Registry& registry, std::string_view host) {
  // The host first: a mode of 1 never points at a host that was not written.
  std::wstring wideHost;
  for (char c : host) wideHost += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return registry.WriteValue(kProductKeyPath, L"ServerHost", StringValue(wideHost)) &&
         registry.WriteValue(kProductKeyPath, L"ServerMode", DwordValue(1));
}

bool WriteServerOff(Registry& registry) { return registry.WriteValue(kProductKeyPath, L"ServerMode", DwordValue(0)); }

}  // namespace vx
