#include "management/connection_record.h"

namespace vx::management {
namespace {

RegistryValue Number(uint64_t value, uint32_t type, std::size_t bytes) {
  RegistryValue out{type, {}};
  for (std::size_t i = 0; i < bytes; ++i) out.data.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return out;
}

std::optional<uint64_t> ReadNumber(const Registry& registry, std::wstring_view name, uint32_t type, std::size_t bytes) {
  auto value = registry.ReadValue(kConnectionKeyPath, name, bytes);
  if (!value || value->type != type || value->data.size() != bytes) return std::nullopt;
  uint64_t number = 0;
  for (std::size_t i = 0; i < bytes; ++i) number |= uint64_t{value->data[i]} << (8 * i);
  return number;
}

}  // namespace

bool PublishConnection(Registry& registry, const ConnectionSnapshot& snapshot) {
  std::wstring address;
  for (char c : snapshot.serverAddress) address += static_cast<wchar_t>(static_cast<unsigned char>(c));
  // The state last: a reader that sees "connected" sees the address too.
  return registry.WriteValue(kConnectionKeyPath, L"ServerAddress", StringValue(address)) &&
         registry.WriteValue(kConnectionKeyPath, L"ServerPort", Number(snapshot.serverPort, kRegistryDword, 4)) &&
         registry.WriteValue(kConnectionKeyPath, L"ChangedAt",
                             Number(static_cast<uint64_t>(snapshot.changedAt), kRegistryQword, 8)) &&
         registry.WriteValue(kConnectionKeyPath, L"Connections", Number(snapshot.connections, kRegistryDword, 4)) &&
         registry.WriteValue(kConnectionKeyPath, L"Connected", Number(snapshot.connected ? 1 : 0, kRegistryDword, 4));
}

std::optional<ConnectionSnapshot> ReadPublishedConnection(const Registry& registry) {
  const auto connected = ReadNumber(registry, L"Connected", kRegistryDword, 4);
  const auto port = ReadNumber(registry, L"ServerPort", kRegistryDword, 4);
  const auto changedAt = ReadNumber(registry, L"ChangedAt", kRegistryQword, 8);
  const auto connections = ReadNumber(registry, L"Connections", kRegistryDword, 4);
  const auto address = registry.ReadValue(kConnectionKeyPath, L"ServerAddress", 64);
  if (!connected || !port || *port > 0xFFFF || !changedAt || !connections || !address) return std::nullopt;
  const std::optional<std::string> text = SingleByteText(*address);
  if (!text) return std::nullopt;
  ConnectionSnapshot snapshot;
  snapshot.connected = *connected != 0;
  snapshot.serverAddress = *text;
  snapshot.serverPort = static_cast<uint16_t>(*port);
  snapshot.changedAt = static_cast<int64_t>(*changedAt);
  snapshot.connections = static_cast<uint32_t>(*connections);
  return snapshot;
}

}  // namespace vx::management
