#include "tools/vxfleet/fleet_options.h"

#include <cmath>
#include <limits>

namespace vx::fleet {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits only, no sign, value within `max`.
std::optional<uint64_t> ParseDecimal(const std::string& text, uint64_t max) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

FleetTime Seconds(double seconds) { return FleetTime(std::llround(seconds * 1e6)); }

}  // namespace

std::optional<uint32_t> ParseIpv4(const std::string& text) {
  uint32_t address = 0;
  std::size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t end = part < 3 ? text.find('.', at) : text.size();
    if (end == std::string::npos || end - at > 3) return std::nullopt;
    const auto value = ParseDecimal(text.substr(at, end - at), 255);
    if (!value) return std::nullopt;
    address = (address << 8) | static_cast<uint32_t>(*value);
    at = end + 1;
  }
  return address;
}

std::optional<Ipv4Endpoint> ParseServerAddress(const std::string& text, std::string& error) {
  const std::size_t colon = text.rfind(':');
  const auto address = colon == std::string::npos ? std::nullopt : ParseIpv4(text.substr(0, colon));
  const auto port = colon == std::string::npos ? std::nullopt : ParseDecimal(text.substr(colon + 1), 65535);
  if (!address || !port || *port == 0) {
    error = "--server takes ADDR:PORT with an IPv4 address and a port of 1 to 65535, not \"" + text + "\"";
    return std::nullopt;
  }
  return Ipv4Endpoint{*address, static_cast<uint16_t>(*port)};
}

std::optional<std::vector<uint32_t>> ParseSourceAddresses(const std::string& text, std::string& error) {
  std::vector<uint32_t> addresses;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    const std::size_t dash = item.find('-');
    const auto first = ParseIpv4(item.substr(0, dash));
    const auto last = dash == std::string::npos ? first : ParseIpv4(item.substr(dash + 1));
    if (!first || !last || *last < *first) {
      error = "--source-addresses takes IPv4 addresses and ranges FIRST-LAST separated by commas, not \"" + item + "\"";
      return std::nullopt;
    }
    if (*last - *first >= kMaxSourceAddresses - addresses.size()) {
      error = "--source-addresses names more than " + std::to_string(kMaxSourceAddresses) + " addresses";
      return std::nullopt;
    }
    for (uint64_t address = *first; address <= *last; ++address) addresses.push_back(static_cast<uint32_t>(address));
    at = comma + 1;
  }
  return addresses;
}

std::optional<uint64_t> ParseIdPrefix(const std::string& text, std::string& error) {
  const std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
  uint64_t value = 0;
  bool ok = !digits.empty() && digits.size() <= 16;
  for (const char c : digits) {
    const int digit = IsDigit(c)               ? c - '0'
                      : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                      : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                               : -1;
    if (digit < 0) ok = false;
    value = (value << 4) | static_cast<uint64_t>(digit & 0xF);
  }
  if (!ok) {
    error = "--id-prefix takes 1 to 16 hexadecimal digits, not \"" + text + "\"";
    return std::nullopt;
  }
  return value;
}

std::optional<FleetSetup> PlanFleet(const FleetOptions& options, int64_t wallSecondsAtZero, uint64_t randomSeed,
                                    std::string& error) {
  FleetSetup setup;
  FleetPlan& plan = setup.fleet;
  if (options.agents == 0 || options.agents > kMaxAgents) {
    error = "--agents takes 1 to " + std::to_string(kMaxAgents);
    return std::nullopt;
  }
  if (options.firstAgent > std::numeric_limits<uint64_t>::max() - options.agents) {
    error = "--first-agent plus --agents goes past the largest agent index";
    return std::nullopt;
  }
  const auto prefix = ParseIdPrefix(options.idPrefix, error);
  if (!prefix) return std::nullopt;
  const auto seconds = [&](double value, const char* name, double min) -> std::optional<FleetTime> {
    if (!(value >= min && value <= kMaxSeconds)) {
      error = std::string(name) + " takes " + (min > 0 ? "more than 0" : "0 or more") + " and at most " +
              std::to_string(static_cast<long>(kMaxSeconds)) + " seconds";
      return std::nullopt;
    }
    return Seconds(value);
  };
  const auto duration = seconds(options.durationSeconds, "--duration", 0);
  const auto settle = seconds(options.settleSeconds, "--settle", 0);
  const auto reconnectMean = seconds(options.reconnectMeanSeconds, "--reconnect-mean", 0);
  const auto progress = seconds(options.progressSeconds, "--progress", 0);
  const double defaultRamp = std::max(1.0, static_cast<double>(options.agents) / 1000.0);
  const auto ramp = seconds(options.rampSeconds.value_or(defaultRamp), "--ramp", 0);
  if (!duration || !settle || !reconnectMean || !progress || !ramp) return std::nullopt;
  if (options.backlog < 0) {
    error = "--backlog takes 0 or more rows";
    return std::nullopt;
  }
  if (!(options.rowsPerMinute >= 0 && options.rowsPerMinute <= kMaxRowsPerMinute)) {
    error = "--rows-per-minute takes 0 to " + std::to_string(static_cast<long>(kMaxRowsPerMinute));
    return std::nullopt;
  }
  FleetTime spacing{0};
  if (options.rowsPerMinute > 0) spacing = FleetTime(std::llround(60e6 / options.rowsPerMinute));
  // Row ids are signed 32-bit on the wire.
  const double growth = spacing.count() > 0
                            ? std::ceil(static_cast<double>(duration->count()) / static_cast<double>(spacing.count()))
                            : 0;
  if (static_cast<double>(options.backlog) + growth > std::numeric_limits<int32_t>::max()) {
    error = "--backlog plus the rows --rows-per-minute makes in --duration goes past the largest row id (2^31-1)";
    return std::nullopt;
  }
  if (options.servers.empty() || options.servers.size() > kMaxServers) {
    error = "--server is given 1 to " + std::to_string(kMaxServers) + " times";
    return std::nullopt;
  }
  for (const std::string& text : options.servers) {
    const auto server = ParseServerAddress(text, error);
    if (!server) return std::nullopt;
    setup.network.servers.push_back(*server);
  }
  if (!options.sourceAddresses.empty()) {
    auto sources = ParseSourceAddresses(options.sourceAddresses, error);
    if (!sources) return std::nullopt;
    setup.network.sourceAddresses = std::move(*sources);
  }

  plan.agents = options.agents;
  plan.firstAgent = options.firstAgent;
  plan.idPrefix = *prefix;
  plan.reports = ReportShape{options.backlog, spacing, *duration};
  plan.ramp = *ramp;
  plan.serverCount = setup.network.servers.size();
  plan.sharedStore = options.sharedStore;
  plan.reconnectMean = *reconnectMean;
  plan.wallSecondsAtZero = wallSecondsAtZero;
  plan.seed = options.seed.value_or(randomSeed);
  setup.network.settle = *settle;
  setup.network.progress = *progress;
  return setup;
}

}  // namespace vx::fleet
