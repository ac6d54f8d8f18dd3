// The network side of vxfleet: every simulated agent's TCP connection on one
// Asio io_context (one thread, no thread per agent), the shared 100-ms tick
// that gives the agents their turns, progress lines, and the end of the run.
//
// Per agent it keeps at most one socket. It connects when the agent asks
// (to the server the fleet picks at random, from the next source address
// round-robin when some are given), writes what the agent has queued, waits
// for readability and reads without blocking into exactly what the agent
// will take, and closes the socket when the agent no longer wants it. No
// operation blocks the thread.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tools/vxfleet/fleet.h"
#include "tools/vxfleet/fleet_options.h"

namespace vx::fleet {

class FleetNetwork {
 public:
  FleetNetwork(Fleet& fleet, NetworkPlan plan);
  FleetNetwork(const FleetNetwork&) = delete;
  FleetNetwork& operator=(const FleetNetwork&) = delete;

  // Runs until every row is proven stored once the tables stopped growing,
  // the settle time after that ran out, or SIGINT or SIGTERM came. Returns
  // the fleet time it ended at.
  [[nodiscard]] FleetTime Run();
  [[nodiscard]] bool Interrupted() const { return interrupted_; }

 private:
  struct Link {
    std::unique_ptr<asio::ip::tcp::socket> socket;
    uint64_t connection = 0;  // the agent's connection number the socket belongs to
    bool open = false;        // the TCP connection is made
    bool reading = false;
    bool writing = false;
  };

  [[nodiscard]] FleetTime Now() const;
  // After every call on agent `agent`: closes, connects, writes and reads as
  // it now wants, and schedules its next turn.
  void Sync(std::size_t agent, FleetTime now);
  void StartConnect(std::size_t agent, FleetTime now);
  void StartWrite(std::size_t agent);
  void StartRead(std::size_t agent);
  void ReadAvailable(std::size_t agent, FleetTime now);
  static void Close(Link& link);
  [[nodiscard]] bool Current(std::size_t agent, uint64_t connection) const;

  void ArmTick(FleetTime at);
  void Tick();
  [[nodiscard]] bool Finished(FleetTime now) const;

  Fleet& fleet_;
  const NetworkPlan plan_;
  asio::io_context io_;
  asio::steady_timer tick_;
  asio::signal_set signals_;
  std::chrono::steady_clock::time_point zero_;
  std::vector<Link> links_;
  std::vector<std::size_t> due_;
  std::size_t nextSource_ = 0;
  FleetTime nextProgress_{0};
  FleetTime endedAt_{0};
  bool interrupted_ = false;
};

}  // namespace vx::fleet
