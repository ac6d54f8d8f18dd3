#include "service/management_settings.h"

#include <algorithm>

namespace vx {

ManagementSettings ReadManagementSettings(Registry& registry,
                                          const std::function<std::array<uint8_t, 16>()>& randomClientId) {
  ManagementSettings settings;
  if (auto mode = registry.ReadValue(kProductKeyPath, L"ServerMode", 4);
      mode && mode->type == kRegistryDword && mode->data.size() == 4)
    settings.serverMode =
        mode->data[0] | (mode->data[1] << 8) | (mode->data[2] << 16) | (static_cast<uint32_t>(mode->data[3]) << 24);
  // 63 characters and a terminator as UTF-16.
  if (auto host = registry.ReadValue(kProductKeyPath, L"ServerHost", 2 * (kMaxServerHostLength + 1)))
    if (auto text = SingleByteText(*host); text && text->size() <= kMaxServerHostLength) settings.serverHost = *text;
  auto id = registry.ReadValue(kProductKeyPath, L"ClientId", 16);
  if (id && id->type == kRegistryBinary && id->data.size() == 16) {
    std::copy(id->data.begin(), id->data.end(), settings.clientId.begin());
  } else {
    settings.clientId = randomClientId();
    registry.WriteValue(kProductKeyPath, L"ClientId",
                        RegistryValue{kRegistryBinary, {settings.clientId.begin(), settings.clientId.end()}});
  }
  return settings;
}

}  // namespace vx
