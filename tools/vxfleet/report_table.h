// A simulated agent's report table. Its rows are never stored: which rows
// exist at a given time, and when each was created, follow from the table's
// shape, its agent's start and its phase, so an agent's memory stays the same
// however many rows it makes.
//
// At its agent's start the table holds `backlog` rows (ids 1..backlog, all
// created then). It then grows by one row every `spacing`, the first new row
// `phase` after the start (0 <= phase < spacing, drawn per agent so a fleet's
// rows are spread out), for as long as `duration` from the start.
#pragma once

#include <cstdint>

#include "tools/vxfleet/fleet_time.h"

namespace vx::fleet {

struct ReportShape {
  int32_t backlog = 0;
  FleetTime spacing{0};   // between two new rows; 0: the table does not grow
  FleetTime duration{0};  // how long the table grows, from its agent's start
};

class ReportTable {
 public:
  // `shape` is shared by the whole fleet and outlives the table.
  ReportTable(const ReportShape& shape, FleetTime start, FleetTime phase);

  [[nodiscard]] FleetTime Start() const { return start_; }
  // Rows created at or before `now`: ids 1 to this count.
  [[nodiscard]] int32_t CreatedBy(FleetTime now) const;
  // Rows the table holds once it stopped growing.
  [[nodiscard]] int32_t FinalCount() const { return shape_->backlog + growth_; }
  // When row `id` (1..FinalCount()) was or will be created.
  [[nodiscard]] FleetTime CreatedAt(int32_t id) const;
  // When the first row after `now` is created; kNever when none is.
  [[nodiscard]] FleetTime NextCreationAfter(FleetTime now) const;
  // The service's "reports stored" counter: one per time rows were added
  // (the backlog once, then each new row), as of `now`.
  [[nodiscard]] int32_t AdditionsBy(FleetTime now) const;

 private:
  [[nodiscard]] int32_t GrownBy(FleetTime now) const;

  const ReportShape* shape_;
  FleetTime start_;
  FleetTime phase_;
  int32_t growth_ = 0;  // new rows in all
};

}  // namespace vx::fleet
