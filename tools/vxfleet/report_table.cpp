#include "tools/vxfleet/report_table.h"

#include <algorithm>

namespace vx::fleet {

ReportTable::ReportTable(const ReportShape& shape, FleetTime start, FleetTime phase)
    : shape_(&shape), start_(start), phase_(phase) {
  // New rows at phase, phase + spacing, ... while before the duration's end.
  if (shape.spacing.count() > 0 && shape.duration > phase) {
    const int64_t span = (shape.duration - phase).count();
    growth_ = static_cast<int32_t>((span + shape.spacing.count() - 1) / shape.spacing.count());
  }
}

int32_t ReportTable::GrownBy(FleetTime now) const {
  if (growth_ == 0 || now < start_ + phase_) return 0;
  const int64_t steps = (now - start_ - phase_).count() / shape_->spacing.count();
  return static_cast<int32_t>(std::min<int64_t>(steps + 1, growth_));
}

int32_t ReportTable::CreatedBy(FleetTime now) const {
  if (now < start_) return 0;
  return shape_->backlog + GrownBy(now);
}

FleetTime ReportTable::CreatedAt(int32_t id) const {
  if (id <= shape_->backlog) return start_;
  return start_ + phase_ + shape_->spacing * (id - shape_->backlog - 1);
}

FleetTime ReportTable::NextCreationAfter(FleetTime now) const {
  if (now < start_) {
    if (shape_->backlog > 0) return start_;
    return growth_ > 0 ? start_ + phase_ : kNever;
  }
  const int32_t grown = GrownBy(now);
  if (grown >= growth_) return kNever;
  return start_ + phase_ + shape_->spacing * grown;
}

int32_t ReportTable::AdditionsBy(FleetTime now) const {
  if (now < start_) return 0;
  return (shape_->backlog > 0 ? 1 : 0) + GrownBy(now);
}

}  // namespace vx::fleet
