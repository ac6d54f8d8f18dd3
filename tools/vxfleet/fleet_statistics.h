// What the whole fleet counts while it runs. The simulated agents add to it
// as things happen; the report reads it at the end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/vxfleet/delay_histogram.h"

namespace vx::fleet {

struct FleetStatistics {
  // Connections.
  uint64_t connectAttempts = 0;
  uint64_t connectFailures = 0;  // no TCP connection, or no valid helloReply in time
  uint64_t helloRefused = 0;     // a helloReply with status 0
  uint64_t reconnects = 0;       // established connections that ended
  std::size_t connected = 0;
  std::size_t maxConnected = 0;

  // Reports.
  uint64_t rowsStored = 0;         // rows proven stored, each once
  uint64_t rowsResent = 0;         // rows sent again to a server that was sent them before
  uint64_t cursorRegressions = 0;  // requests below what the same server had proven stored
  DelayHistogram delays;           // creation to proof, per row

  // Updates.
  uint64_t deliveries = 0;
  // Deliveries whose connection ended before the agent's next status reply
  // was out: the server cannot know the file arrived, and sends it again.
  uint64_t unconfirmedDeliveries = 0;
  uint64_t updateBytes = 0;
};

}  // namespace vx::fleet
