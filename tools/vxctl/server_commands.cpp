// server show, server set: the management settings in the registry
// (ServerMode, ServerHost, ClientId) and the connection the running service
// published. A change is written to the registry only; the service reads the
// settings at its start, so a restart applies it.
#include <cstdio>
#include <ctime>
#include <ostream>

#include "management/connection_record.h"
#include "management/management_settings.h"
#include "tools/vxctl/commands.h"
#include "tools/vxctl/json_text.h"

namespace vx {
namespace {

constexpr char kRestartHint[] =
    "The service applies it at its next start: restart the service\n"
    "(sc stop VestaraDeviceControlWinService, then sc start VestaraDeviceControlWinService).\n";

std::string HexId(const std::array<uint8_t, 16>& id) {
  std::string text;
  char digits[3];
  for (uint8_t byte : id) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
  }
  return text;
}

// Local date and time, as the machine's clock shows it.
std::string LocalTime(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  const std::tm* local = std::localtime(&time);
  if (local == nullptr) return std::to_string(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
  return text;
}

std::string Address(const management::ConnectionSnapshot& connection) {
  return connection.serverAddress + ":" + std::to_string(connection.serverPort);
}

std::string ConnectionWords(bool serviceRunning, const std::optional<management::ConnectionSnapshot>& connection) {
  if (!serviceRunning) return "no: the service is not running";
  if (!connection) return "unknown: the service has not published its connection";
  const std::string connections = std::to_string(connection->connections) +
                                  (connection->connections == 1 ? " connection" : " connections") +
                                  " since the service started";
  if (connection->connected)
    return "yes, to " + Address(*connection) + " since " + LocalTime(connection->changedAt) + " (" + connections + ")";
  if (connection->connections == 0) return "no, not since the service started at " + LocalTime(connection->changedAt);
  return "no; the last connection, to " + Address(*connection) + ", ended at " + LocalTime(connection->changedAt) +
         " (" + connections + ")";
}

// Prints the three settings and, when the service runs, the connection it
// last published. Reads only: a missing client id is reported, not created.
std::optional<Failure> ServerShow(const Registry& registry, bool serviceRunning, bool json, std::ostream& out) {
  const StoredManagementSettings settings = ReadStoredManagementSettings(registry);
  // A record left behind by a service that no longer runs tells nothing.
  const std::optional<management::ConnectionSnapshot> connection =
      serviceRunning ? management::ReadPublishedConnection(registry) : std::nullopt;
  if (json) {
    out << "{\"serverMode\": " << settings.serverMode << ", \"serverHost\": " << JsonString(settings.serverHost)
        << ", \"clientId\": " << (settings.clientId ? JsonString(HexId(*settings.clientId)) : "null")
        << ", \"serviceRunning\": " << (serviceRunning ? "true" : "false") << ",\n \"connection\": ";
    if (connection)
      out << "{\"connected\": " << (connection->connected ? "true" : "false")
          << ", \"serverAddress\": " << JsonString(connection->serverAddress)
          << ", \"serverPort\": " << connection->serverPort << ", \"changedAt\": " << connection->changedAt
          << ", \"connections\": " << connection->connections << "}";
    else
      out << "null";
    out << "}\n";
    return std::nullopt;
  }
  out << "Management server:  " << (settings.serverHost.empty() ? "(none)" : settings.serverHost) << "\n"
      << "Server mode:        " << settings.serverMode
      << (settings.serverMode == 1 ? " (a management server is configured)" : " (no management server)") << "\n"
      << "Client id:          "
      << (settings.clientId ? HexId(*settings.clientId) : "none yet (the service makes one at its next start)") << "\n"
      << "Connected now:      " << ConnectionWords(serviceRunning, connection) << "\n"
      << "(The service reads the settings at its start; a change since then applies at its next start.)\n";
  return std::nullopt;
}

// Points the service at `host` (ServerMode 1), or with `off` turns its
// management client off (ServerMode 0). Exactly one of the two is given.
// Writing the service's settings needs administrator rights:
// `runsAsAdministrator` tells why the registry refused a write.
std::optional<Failure> ServerSet(Registry& registry, const std::optional<std::string>& host, bool off,
                                 bool runsAsAdministrator, std::ostream& out) {
  if (host.has_value() == off) return Failure{kExitBadArguments, "server set takes --host NAME or --off"};
  if (host)
    if (const std::string problem = ServerHostProblem(*host); !problem.empty())
      return Failure{kExitBadArguments, problem};
  const bool written = host ? WriteServerHost(registry, *host) : WriteServerOff(registry);
  if (!written) {
    if (!runsAsAdministrator)
      return Failure{kExitRefused, "only an administrator may change the management settings: run as administrator"};
    return Failure{kExitRefused, "the registry refused the change of the management settings"};
  }
  if (host) {
    out << "The management server is now " << *host << " (ServerMode 1).\n" << kRestartHint;
  } else {
    const std::string kept = ReadStoredManagementSettings(registry).serverHost;
    out << "The management client is now off (ServerMode 0"
        << (kept.empty() ? std::string(")") : "; the server name " + kept + " is kept)") << ".\n"
        << kRestartHint;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Failure> ServerShowCommand(CommandSession& session) {
  Registry* registry = session.RegistryOrNull();
  if (registry == nullptr) return Failure{kExitServiceFailure, "the registry cannot be read here"};
  // Whether the published connection is this service's: only a running
  // service keeps it current.
  int result = 0;
  const bool running = session.Service().Ping(result) == 0 && result == 1;
  return ServerShow(*registry, running, session.Json(), session.Out());
}

std::optional<Failure> ServerSetCommand(CommandSession& session) {
  Registry* registry = session.RegistryOrNull();
  if (registry == nullptr) return Failure{kExitServiceFailure, "the registry cannot be written here"};
  const std::optional<std::string> host =
      session.Given("host") ? std::optional<std::string>(session.Value("host")) : std::nullopt;
  return ServerSet(*registry, host, session.Given("off"), session.RunsAsAdministrator(), session.Out());
}

}  // namespace vx
