// The simulated fleet without its network: every agent, what they share, and
// the schedule of their turns. The network driver (fleet_network.h) moves
// bytes and calls the agents; tests call them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tools/vxfleet/fleet_log.h"
#include "tools/vxfleet/simulated_agent.h"
#include "tools/vxfleet/turn_schedule.h"

namespace vx::fleet {

struct FleetPlan {
  std::size_t agents = 1;
  uint64_t firstAgent = 0;  // the index of the first agent, so processes can share a fleet
  uint64_t idPrefix = kDefaultIdPrefix;
  ReportShape reports;
  FleetTime ramp{0};  // agents start spread evenly over it
  std::size_t serverCount = 1;
  // The servers are instances of one store: what one proved stored, every
  // other knows, so proofs, regressions and resent rows are the store's.
  bool sharedStore = false;
  FleetTime reconnectMean{0};
  int64_t wallSecondsAtZero = 0;
  uint64_t seed = 0;  // row phases, server choice, dropped connections
};

class Fleet {
 public:
  // Every agent holds the product's default parent policy at its start.
  Fleet(const FleetPlan& plan, FleetLog& log);
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  [[nodiscard]] std::size_t Size() const { return agents_.size(); }
  [[nodiscard]] SimulatedAgent& Agent(std::size_t agent) { return agents_[agent]; }
  [[nodiscard]] const SimulatedAgent& Agent(std::size_t agent) const { return agents_[agent]; }
  [[nodiscard]] const FleetStatistics& Statistics() const { return shared_->statistics; }
  [[nodiscard]] std::size_t ServerCount() const { return shared_->serverCount; }

  // A server for a connection attempt, at random.
  [[nodiscard]] std::size_t ChooseServer();

  // The agents due for a turn at `tick`, each once.
  void TakeDue(FleetTime tick, std::vector<std::size_t>& due) { schedule_.TakeDue(tick, due); }
  // After every call on agent `agent`: asks for its next turn.
  void Reschedule(std::size_t agent, FleetTime now) { schedule_.Want(agent, agents_[agent].NextTurnDue(now)); }

  // Rows created by `now`, over every agent.
  [[nodiscard]] uint64_t RowsCreated(FleetTime now) const;
  // Rows every table holds once it stopped growing.
  [[nodiscard]] uint64_t FinalRows() const { return finalRows_; }
  // When the last table stops growing.
  [[nodiscard]] FleetTime GrowthEnd() const { return growthEnd_; }
  // Every row of every table, the last included, was proven stored.
  [[nodiscard]] bool AllStored() const { return shared_->statistics.rowsStored == finalRows_; }

 private:
  std::unique_ptr<FleetShared> shared_;  // the agents hold it by reference
  std::vector<SimulatedAgent> agents_;
  TurnSchedule schedule_;
  uint64_t finalRows_ = 0;
  FleetTime growthEnd_{0};
};

}  // namespace vx::fleet
