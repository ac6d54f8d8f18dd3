#include "tools/vxfleet/fleet.h"

#include <algorithm>

#include "management/policy_exchange.h"
#include "policy/policy_state.h"

namespace vx::fleet {
namespace {

// The parent side of the product's default policy (digest 0xBE9BB610). The
// record is about 131 KB, so it is built on the heap, once.
management::ParentPolicy DefaultParentPolicy() {
  const auto state = std::make_unique<PolicyState>();
  BuildDefaultPolicy(*state);
  return management::ParentPolicyOf(*state);
}

}  // namespace

Fleet::Fleet(const FleetPlan& plan, FleetLog& log) : shared_(std::make_unique<FleetShared>()), schedule_(plan.agents) {
  FleetShared& shared = *shared_;
  shared.idPrefix = plan.idPrefix;
  shared.reports = plan.reports;
  shared.serverCount = std::max<std::size_t>(plan.serverCount, 1);
  shared.sharedStore = plan.sharedStore;
  shared.wallSecondsAtZero = plan.wallSecondsAtZero;
  shared.reconnectMean = plan.reconnectMean;
  shared.log = &log;
  shared.random.seed(plan.seed);
  shared.initialPolicy = shared.policies.Hold(DefaultParentPolicy());

  const int64_t spacing = plan.reports.spacing.count();
  // A phase below one spacing: a table growing for a whole number of
  // spacings gets exactly that many new rows, whatever its phase.
  std::uniform_int_distribution<int64_t> phaseOf(0, std::max<int64_t>(spacing - 1, 0));
  agents_.reserve(plan.agents);
  for (std::size_t i = 0; i < plan.agents; ++i) {
    const FleetTime start = plan.ramp * static_cast<int64_t>(i) / static_cast<int64_t>(plan.agents);
    const FleetTime phase{spacing > 0 ? phaseOf(shared.random) : 0};
    agents_.emplace_back(shared, plan.firstAgent + i, start, phase);
    finalRows_ += static_cast<uint64_t>(agents_.back().Table().FinalCount());
    growthEnd_ = std::max(growthEnd_, start + plan.reports.duration);
    schedule_.Want(i, start);
  }
}

std::size_t Fleet::ChooseServer() {
  std::uniform_int_distribution<std::size_t> server(0, shared_->serverCount - 1);
  return server(shared_->random);
}

uint64_t Fleet::RowsCreated(FleetTime now) const {
  uint64_t rows = 0;
  for (const SimulatedAgent& agent : agents_) rows += static_cast<uint64_t>(agent.Table().CreatedBy(now));
  return rows;
}

}  // namespace vx::fleet
