#include "tools/vxfleet/turn_schedule.h"

namespace vx::fleet {

TurnSchedule::TurnSchedule(std::size_t agents) : wanted_(agents, kNever) {}

void TurnSchedule::Want(std::size_t agent, FleetTime due) {
  if (agent >= wanted_.size() || due >= wanted_[agent]) return;
  wanted_[agent] = due;
  heap_.emplace(due, agent);
}

void TurnSchedule::DropStale() {
  while (!heap_.empty() && heap_.top().first != wanted_[heap_.top().second]) heap_.pop();
}

void TurnSchedule::TakeDue(FleetTime tick, std::vector<std::size_t>& due) {
  for (DropStale(); !heap_.empty() && heap_.top().first <= tick; DropStale()) {
    const std::size_t agent = heap_.top().second;
    heap_.pop();
    wanted_[agent] = kNever;
    due.push_back(agent);
  }
}

FleetTime TurnSchedule::Earliest() {
  DropStale();
  return heap_.empty() ? kNever : heap_.top().first;
}

}  // namespace vx::fleet
