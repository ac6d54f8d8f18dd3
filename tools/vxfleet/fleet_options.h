// vxfleet's options as given on the command line, and what they become: the
// fleet's plan and the network's. Everything CLI11 does not check itself is
// checked here, each refusal naming the option at fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/vxfleet/fleet.h"

namespace vx::fleet {

struct Ipv4Endpoint {
  uint32_t address = 0;  // host byte order
  uint16_t port = 0;
  friend bool operator==(const Ipv4Endpoint&, const Ipv4Endpoint&) = default;
};

// "a.b.c.d": four decimal parts of 0..255. nullopt otherwise.
[[nodiscard]] std::optional<uint32_t> ParseIpv4(const std::string& text);
// "a.b.c.d:port", port 1..65535.
[[nodiscard]] std::optional<Ipv4Endpoint> ParseServerAddress(const std::string& text, std::string& error);
// A comma-separated list of addresses and ranges "first-last" (first <= last),
// at most kMaxSourceAddresses addresses in all, in the order given.
inline constexpr std::size_t kMaxSourceAddresses = 65536;
[[nodiscard]] std::optional<std::vector<uint32_t>> ParseSourceAddresses(const std::string& text, std::string& error);
// 1 to 16 hex digits, with or without "0x".
[[nodiscard]] std::optional<uint64_t> ParseIdPrefix(const std::string& text, std::string& error);

struct FleetOptions {
  std::vector<std::string> servers{"127.0.0.1:13911"};
  std::size_t agents = 100;
  uint64_t firstAgent = 0;
  std::string idPrefix = "76666c6565740000";
  int32_t backlog = 0;
  double rowsPerMinute = 1;
  double durationSeconds = 60;
  double settleSeconds = 60;
  std::optional<double> rampSeconds;  // default: agents / 1000 s, at least 1 s
  double reconnectMeanSeconds = 0;
  bool sharedStore = false;  // the servers share one store (instances on one PostgreSQL database)
  std::string sourceAddresses;
  double progressSeconds = 5;
  bool json = false;
  std::string agentsFile;
  std::optional<uint64_t> seed;  // default: a random one
};

// Bounds the command line holds each option to.
inline constexpr std::size_t kMaxAgents = 1'000'000;
inline constexpr double kMaxRowsPerMinute = 60'000;  // one row a millisecond
inline constexpr double kMaxSeconds = 30 * 24 * 3600;
inline constexpr std::size_t kMaxServers = 64;

struct NetworkPlan {
  std::vector<Ipv4Endpoint> servers;
  std::vector<uint32_t> sourceAddresses;  // empty: the system chooses
  FleetTime settle{0};
  FleetTime progress{0};  // 0: no progress lines
};

struct FleetSetup {
  FleetPlan fleet;
  NetworkPlan network;
};

// The plan the options describe, or nullopt with `error` saying which
// option is wrong. `wallSecondsAtZero` and `randomSeed` (used when no
// --seed is given) come from the caller.
[[nodiscard]] std::optional<FleetSetup> PlanFleet(const FleetOptions& options, int64_t wallSecondsAtZero,
                                                  uint64_t randomSeed, std::string& error);

}  // namespace vx::fleet
