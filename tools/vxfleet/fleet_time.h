// Time inside vxfleet: microseconds since the run began, on a steady clock.
// The simulated agents never read a clock themselves; the network driver or a
// test passes the time in, so 120-second keep-alives run in no time in tests.
#pragma once

#include <chrono>

namespace vx::fleet {

using FleetTime = std::chrono::microseconds;

// "Never": an agent with nothing to do reports this as its next turn.
inline constexpr FleetTime kNever = FleetTime::max();

}  // namespace vx::fleet
