// The management connection as the running service publishes it for the
// administration tool, which runs in another process: values under
// HKLM Software\Vestara\DeviceControl\Connection, written by the service at
// its start (no connection yet) and at every connect and disconnect.
//   Connected      REG_DWORD  1 while connected
//   ServerAddress  REG_SZ     "a.b.c.d" of the current or last connection
//   ServerPort     REG_DWORD
//   ChangedAt      REG_QWORD  wall-clock seconds of the last change
//   Connections    REG_DWORD  connections made since the service started
// The record says what the service last knew; a reader asks the service
// whether it runs before it trusts the record, since a service that ended
// without a clean stop leaves its last record behind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/registry.h"

namespace vx::management {

inline constexpr std::wstring_view kConnectionKeyPath = L"Software\\Vestara\\DeviceControl\\Connection";

struct ConnectionSnapshot {
  bool connected = false;
  std::string serverAddress;  // "a.b.c.d" of the current or last connection; empty before the first
  uint16_t serverPort = 0;
  int64_t changedAt = 0;     // wall-clock seconds of the last change; 0 before the first
  uint32_t connections = 0;  // connections established since the service started

  bool operator==(const ConnectionSnapshot&) const = default;
};

// Writes every value of the record. False when the registry refused one.
[[nodiscard]] bool PublishConnection(Registry& registry, const ConnectionSnapshot& snapshot);

// The record, or nullopt when the service never wrote one (or it is
// malformed).
[[nodiscard]] std::optional<ConnectionSnapshot> ReadPublishedConnection(const Registry& registry);

}  // namespace vx::management
