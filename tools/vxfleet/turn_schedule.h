// Which simulated agents need a turn at the next tick.
//
// One shared 100-ms tick drives the whole fleet instead of a timer per agent:
// an idle agent (connected, nothing to send or read) is visited only when
// its next keep-alive, report notice, new row or time-out is due, not every
// 100 ms, so ten thousand mostly idle agents cost a few hundred visits a
// second. Each agent says when it next needs a turn; the schedule keeps the
// earliest such time per agent in a min-heap and hands out, at each tick,
// the agents whose time has come, each at most once a tick. An agent that
// asks for an earlier time than it holds is pushed again; the entry it
// replaces is skipped when it comes up.
#pragma once

#include <cstddef>
#include <queue>
#include <utility>
#include <vector>

#include "tools/vxfleet/fleet_time.h"

namespace vx::fleet {

class TurnSchedule {
 public:
  explicit TurnSchedule(std::size_t agents);

  // Agent `agent` needs a turn at `due` (kNever: none). An earlier time than
  // the one it holds replaces it; a later one waits until the held one is
  // handed out (the agent then asks again).
  void Want(std::size_t agent, FleetTime due);
  // Appends to `due` every agent whose time is at or before `tick`, each
  // once, and forgets their times.
  void TakeDue(FleetTime tick, std::vector<std::size_t>& due);
  // The earliest time held, kNever when none.
  [[nodiscard]] FleetTime Earliest();

 private:
  using Entry = std::pair<FleetTime, std::size_t>;
  void DropStale();

  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap_;
  std::vector<FleetTime> wanted_;  // per agent: the time its live entry holds, kNever when none
};

}  // namespace vx::fleet
