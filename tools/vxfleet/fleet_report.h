// What vxfleet tells: a progress line while it runs, the report at the end
// (plain words, or one JSON object), and the agents file, one line per agent,
// for a test to hold against the server's store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>

#include "tools/vxfleet/fleet.h"

namespace vx::fleet {

struct FleetSummary {
  std::size_t agents = 0;
  std::size_t connected = 0;  // at the end
  std::size_t maxConnected = 0;
  uint64_t connectAttempts = 0, connectFailures = 0, helloRefused = 0, reconnects = 0;
  uint64_t rowsCreated = 0, rowsStored = 0, rowsResent = 0, cursorRegressions = 0;
  uint64_t delaySamples = 0;
  FleetTime delayMedian{0}, delayP99{0}, delayMax{0};
  std::map<uint32_t, std::size_t> digests;  // digest held -> agents holding it
  uint64_t deliveries = 0, agentsWithOneUpdate = 0, agentsWithMoreUpdates = 0, unconfirmedDeliveries = 0,
           updateBytes = 0;
  long peakRssKiB = 0;
  double elapsedSeconds = 0;
  bool allStored = false;  // every row created by the end proven stored
};

// The fleet as of `now`; peakRssKiB and elapsedSeconds are the caller's.
[[nodiscard]] FleetSummary Summarize(const Fleet& fleet, FleetTime now);

// 0 when every row was proven stored and no server lost a stored row, else 1.
[[nodiscard]] int ExitCodeOf(const FleetSummary& summary);

// "0xBE9BB610".
[[nodiscard]] std::string DigestText(uint32_t digest);

[[nodiscard]] std::string ProgressLine(const Fleet& fleet, FleetTime now);
[[nodiscard]] std::string ReportText(const FleetSummary& summary);
[[nodiscard]] std::string ReportJson(const FleetSummary& summary);

// One line per agent: id (32 hex digits), rows created, highest id proven
// stored, updates delivered, digest held, update bytes, FNV-1a hash of the
// last update (16 hex digits, 0 when none), separated by one blank.
void WriteAgentLines(const Fleet& fleet, FleetTime now, std::ostream& out);

}  // namespace vx::fleet
